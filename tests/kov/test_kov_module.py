"""What importing zol_kov creates: globals, aliases, logger, log directory and file."""

import datetime
import enum
import json
import logging
import os
import pathlib
import re
import threading
import time
import typing

import pytest

import zol_kov

GLOBALS_IN_ORDER = [
    "_MewMaster", "_date", "_IntEnum", "_get_logger", "_LogFormatter",
    "_LOG_INFO", "_LogHandler", "_LogRecord", "_Path", "_Thread", "_sleep", "_now",
    "_Optional", "_Union", "_Dict", "logger", "FileLogHandler", "_today", "_log_path",
    "_log_filename", "_file_log_handler", "_formatter", "_MaxPulsePerSecond",
    "Direction", "StopSource", "FindingOMethod", "KOVAxisController",
]

FORMAT = "%(asctime)s - %(levelname)s - %(message)s"
LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - (INFO|ERROR) - (.*)\n")


def test_globals_are_bound_in_order():
    present = [name for name in vars(zol_kov) if name in GLOBALS_IN_ORDER]
    assert present == GLOBALS_IN_ORDER


def test_public_names():
    public = {name for name in vars(zol_kov) if not name.startswith("_")}
    assert public == {
        "KOVAxisController", "Direction", "StopSource", "FindingOMethod",
        "FileLogHandler", "logger",
    }


def test_module_object():
    assert zol_kov.__name__ == "zol_kov"
    assert zol_kov.__doc__ is None
    assert zol_kov.__file__ == zol_kov.__spec__.origin
    assert zol_kov.__loader__ is zol_kov.__spec__.loader
    assert zol_kov.__package__ == ""
    assert not hasattr(zol_kov, "__path__")


@pytest.mark.parametrize(
    "alias, target",
    [
        ("_date", datetime.date),
        ("_IntEnum", enum.IntEnum),
        ("_get_logger", logging.getLogger),
        ("_LogFormatter", logging.Formatter),
        ("_LogHandler", logging.Handler),
        ("_LogRecord", logging.LogRecord),
        ("_Path", pathlib.Path),
        ("_Thread", threading.Thread),
        ("_sleep", time.sleep),
        ("_now", time.time),
        ("_Optional", typing.Optional),
        ("_Union", typing.Union),
        ("_Dict", typing.Dict),
    ],
)
def test_aliases_are_the_standard_objects(alias, target):
    assert getattr(zol_kov, alias) is target


def test_master_alias_is_the_sibling_class():
    import zol_mew

    assert zol_kov._MewMaster is zol_mew.MewMaster


def test_constants():
    assert type(zol_kov._LOG_INFO) is int and zol_kov._LOG_INFO == logging.INFO == 20
    assert type(zol_kov._MaxPulsePerSecond) is int and zol_kov._MaxPulsePerSecond == 70000


def test_logger_and_its_single_handler():
    logger = logging.getLogger("zol_kov")
    assert zol_kov.logger is logger
    assert logger.level == logging.INFO
    assert logger.propagate is True
    assert logger.handlers == [zol_kov._file_log_handler]
    handler = zol_kov._file_log_handler
    assert type(handler) is zol_kov.FileLogHandler
    assert handler.level == logging.INFO
    assert handler.formatter is zol_kov._formatter
    assert type(zol_kov._formatter) is logging.Formatter
    assert zol_kov._formatter._fmt == FORMAT
    assert zol_kov._formatter.datefmt is None


def test_log_file_name_is_built_from_the_import_date():
    today = zol_kov._today
    assert type(today) is datetime.date
    assert zol_kov._log_path == pathlib.Path("log")
    name = "zol_kov-%d%02d%02d.log" % (today.year, today.month, today.day)
    assert zol_kov._log_filename == pathlib.Path("log") / name
    assert zol_kov._file_log_handler._FileLogHandler__filename == os.path.join("log", name)


def test_records_reach_the_dated_file_under_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    (tmp_path / "log").mkdir()
    zol_kov.logger.info("first record, 第一")
    zol_kov.logger.error("second record")
    zol_kov.logger.debug("below the level")
    path = tmp_path / str(zol_kov._log_filename)
    text = path.read_bytes().decode("utf-8")
    lines = text.splitlines(keepends=True)
    assert [LINE.fullmatch(line).groups() for line in lines] == [
        ("INFO", "first record, 第一"),
        ("ERROR", "second record"),
    ]


def test_record_without_log_directory_fails_at_the_logging_call(tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    with pytest.raises(FileNotFoundError):
        zol_kov.logger.info("nowhere to go")


# --- import in a fresh interpreter ------------------------------------------------------

FAKE_DATE = """
import datetime, json, os, sys, threading
class FakeDate(datetime.date):
    @classmethod
    def today(cls):
        return cls({y}, {m}, {d})
datetime.date = FakeDate
import zol_kov
out = dict(
    date_alias=zol_kov._date is FakeDate,
    today=str(zol_kov._today),
    log_is_dir=os.path.isdir("log"),
    files_after_import=sorted(os.listdir("log")),
    threads=threading.active_count(),
)
zol_kov.logger.info("hello")
out["files_after_record"] = sorted(os.listdir("log"))
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    "ymd, name",
    [
        ((2031, 1, 5), "zol_kov-20310105.log"),
        ((2030, 12, 31), "zol_kov-20301231.log"),
        ((987, 3, 9), "zol_kov-9870309.log"),
    ],
)
def test_import_creates_the_directory_and_no_file_until_the_first_record(
    run_python, tmp_path, ymd, name
):
    y, m, d = ymd
    result = run_python(FAKE_DATE.format(y=y, m=m, d=d))
    assert result.returncode == 0, result.stderr.decode()
    out = json.loads(result.stdout.decode())
    assert out["date_alias"] is True
    assert out["log_is_dir"] is True
    assert out["files_after_import"] == []
    assert out["threads"] == 1
    assert out["files_after_record"] == [name]
    text = (tmp_path / "log" / name).read_text(encoding="utf-8")
    assert LINE.fullmatch(text).groups() == ("INFO", "hello")


def test_existing_log_directory_is_kept(run_python, tmp_path):
    (tmp_path / "log").mkdir()
    (tmp_path / "log" / "other.txt").write_text("keep")
    result = run_python("import zol_kov; zol_kov.logger.info('x')")
    assert result.returncode == 0, result.stderr.decode()
    assert (tmp_path / "log" / "other.txt").read_text() == "keep"
    assert len(os.listdir(str(tmp_path / "log"))) == 2


IMPORT_FAILS = """
import json, os, sys
{prepare}
try:
    import zol_kov
except BaseException as e:
    print(json.dumps(dict(type=type(e).__name__, isimporterror=isinstance(e, ImportError),
                          loaded="zol_kov" in sys.modules, log=os.path.exists("log"))))
else:
    print(json.dumps(dict(type=None)))
"""


def test_regular_file_named_log_fails_the_import(run_python, tmp_path):
    (tmp_path / "log").write_text("not a directory")
    result = run_python(IMPORT_FAILS.format(prepare=""))
    out = json.loads(result.stdout.decode())
    assert out["type"] == "FileExistsError"
    assert out["loaded"] is False


@pytest.mark.parametrize(
    "prepare",
    [
        "sys.modules['zol_mew'] = None",
        "import types; sys.modules['zol_mew'] = types.ModuleType('zol_mew')",
    ],
    ids=["no-zol_mew", "no-MewMaster"],
)
def test_missing_master_fails_before_the_log_directory_exists(run_python, prepare):
    result = run_python(IMPORT_FAILS.format(prepare=prepare))
    out = json.loads(result.stdout.decode())
    assert out["isimporterror"] is True
    assert out["loaded"] is False
    assert out["log"] is False


def test_master_is_imported_by_absolute_name(run_python):
    code = (
        "import sys, types\n"
        "m = types.ModuleType('zol_mew')\n"
        "class MewMaster: pass\n"
        "m.MewMaster = MewMaster\n"
        "sys.modules['zol_mew'] = m\n"
        "import zol_kov\n"
        "print(zol_kov._MewMaster is MewMaster)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["True"]


def test_second_module_object_is_refused(run_python):
    code = (
        "import importlib, sys\n"
        "import zol_kov\n"
        "del sys.modules['zol_kov']\n"
        "try:\n"
        "    importlib.import_module('zol_kov')\n"
        "except RuntimeError as e:\n"
        "    print(type(e).__name__ + ':' + str(e))\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().strip() == (
        "RuntimeError:Module 'zol_kov' has already been imported. "
        "Re-initialisation is not supported."
    )


def test_reload_into_the_same_module_object_changes_nothing(run_python):
    code = (
        "import importlib, json, logging\n"
        "import zol_kov\n"
        "before = (zol_kov.KOVAxisController, zol_kov.FileLogHandler, zol_kov._file_log_handler)\n"
        "again = importlib.reload(zol_kov)\n"
        "after = (zol_kov.KOVAxisController, zol_kov.FileLogHandler, zol_kov._file_log_handler)\n"
        "print(json.dumps([again is zol_kov, all(a is b for a, b in zip(before, after)),\n"
        "                  len(logging.getLogger('zol_kov').handlers)]))\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert json.loads(result.stdout.decode()) == [True, True, 1]


def test_second_interpreter_is_refused(run_python, tmp_path):
    pytest.importorskip("_testcapi")
    code = (
        "import _testcapi, os\n"
        "import zol_kov\n"
        "sub = '''\n"
        "try:\n"
        "    import zol_kov\n"
        "except ImportError as e:\n"
        "    text = type(e).__name__ + ':' + str(e)\n"
        "else:\n"
        "    text = 'imported'\n"
        "with open('sub.txt', 'w') as f:\n"
        "    f.write(text)\n"
        "'''\n"
        "_testcapi.run_in_subinterp(sub)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert (tmp_path / "sub.txt").read_text() == (
        "ImportError:Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )


def test_import_can_be_retried_after_a_failed_execution(run_python, tmp_path):
    # A failed import leaves nothing behind: once the cause is gone, importing works.
    (tmp_path / "log").write_text("not a directory")
    code = (
        "import os\n"
        "try:\n"
        "    import zol_kov\n"
        "except FileExistsError:\n"
        "    print('refused')\n"
        "os.remove('log')\n"
        "import zol_kov\n"
        "zol_kov.logger.info('second try')\n"
        "print(len(zol_kov.logger.handlers), os.listdir('log') != [])\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["refused", "1", "True"]
