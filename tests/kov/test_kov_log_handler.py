import logging
import threading

import pytest

from kov_helpers import argtype
from zol_kov import FileLogHandler


class Text(str):
    pass


def make_logger(handler, name):
    logger = logging.getLogger("kovtest." + name)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    for old in list(logger.handlers):
        logger.removeHandler(old)
    logger.addHandler(handler)
    return logger


def test_class():
    assert issubclass(FileLogHandler, logging.Handler)
    assert FileLogHandler.__module__ == "zol_kov"
    own = {name for name in vars(FileLogHandler) if not name.startswith("__") or name == "__init__"}
    assert own == {"__init__", "emit"}


def test_construction(tmp_path):
    path = str(tmp_path / "a.log")
    handler = FileLogHandler(path)
    assert handler.level == logging.INFO
    assert handler._FileLogHandler__filename is path
    assert isinstance(handler.lock, type(threading.RLock()))
    assert FileLogHandler(filename=path, level=logging.DEBUG).level == logging.DEBUG
    assert FileLogHandler(path, 30).level == 30


@pytest.mark.parametrize(
    "args, message",
    [
        ((None,), argtype("filename", "str", "NoneType")),
        ((b"a.log",), argtype("filename", "str", "bytes")),
        ((Text("a.log"),), argtype("filename", "str", "Text")),
        (("a.log", True), argtype("level", "int", "bool")),
        (("a.log", None), argtype("level", "int", "NoneType")),
        (("a.log", 20.0), argtype("level", "int", "float")),
        (("a.log", "INFO"), argtype("level", "int", "str")),
    ],
)
def test_argument_types(args, message):
    with pytest.raises(TypeError) as excinfo:
        FileLogHandler(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("call", ["FileLogHandler()", "FileLogHandler('a', 20, 3)",
                                  "FileLogHandler('a', filename='b')",
                                  "FileLogHandler('a', levels=20)"])
def test_bad_argument_lists(call):
    with pytest.raises(TypeError):
        eval(call, {"FileLogHandler": FileLogHandler})


def test_records_are_appended_one_line_each(tmp_path):
    path = tmp_path / "a.log"
    logger = make_logger(FileLogHandler(str(path)), "append")
    logger.info("one")
    assert path.read_text(encoding="utf-8") == "one\n"
    logger.warning("two\nlines")
    logger.debug("below the handler's level")
    assert path.read_text(encoding="utf-8") == "one\ntwo\nlines\n"


def test_formatter_is_used(tmp_path):
    path = tmp_path / "a.log"
    handler = FileLogHandler(str(path))
    handler.setFormatter(logging.Formatter("%(levelname)s|%(message)s"))
    make_logger(handler, "formatter").error("boom %d", 7)
    assert path.read_text(encoding="utf-8") == "ERROR|boom 7\n"


def test_existing_content_is_kept(tmp_path):
    path = tmp_path / "a.log"
    path.write_text("earlier\n", encoding="utf-8")
    make_logger(FileLogHandler(str(path)), "keep").info("later")
    assert path.read_text(encoding="utf-8") == "earlier\nlater\n"


def test_deleted_file_is_created_again(tmp_path):
    path = tmp_path / "a.log"
    logger = make_logger(FileLogHandler(str(path)), "recreate")
    logger.info("one")
    path.unlink()
    logger.info("two")
    assert path.read_text(encoding="utf-8") == "two\n"


def test_missing_directory_raises_and_the_handler_stays_usable(tmp_path):
    path = tmp_path / "sub" / "a.log"
    handler = FileLogHandler(str(path))
    logger = make_logger(handler, "missing")
    with pytest.raises(FileNotFoundError):
        logger.info("lost")
    # The lock must have been released: another thread can take it.
    taken = []

    def take():
        taken.append(handler.lock.acquire(timeout=10))
        if taken[-1]:
            handler.lock.release()

    thread = threading.Thread(target=take)
    thread.start()
    thread.join()
    assert taken == [True]
    path.parent.mkdir()
    logger.info("found")
    assert path.read_text(encoding="utf-8") == "found\n"


def test_relative_path_follows_the_current_directory(tmp_path, monkeypatch):
    logger = make_logger(FileLogHandler("rel.log"), "relative")
    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
        monkeypatch.chdir(str(tmp_path / sub))
        logger.info(sub)
    assert (tmp_path / "a" / "rel.log").read_text() == "a\n"
    assert (tmp_path / "b" / "rel.log").read_text() == "b\n"


def test_unencodable_message_propagates(tmp_path):
    path = tmp_path / "a.log"
    logger = make_logger(FileLogHandler(str(path)), "surrogate")
    with pytest.raises(UnicodeEncodeError):
        logger.info("\udc80")
    logger.info("after")
    assert path.read_text(encoding="utf-8").endswith("after\n")


def test_utf8_whatever_the_locale(run_python, tmp_path):
    # Under the C locale without UTF-8 mode the default encoding is ASCII.
    code = (
        "import locale, logging, zol_kov\n"
        "h = zol_kov.FileLogHandler('x.log')\n"
        "lg = logging.getLogger('t'); lg.propagate = False; lg.addHandler(h)\n"
        "lg.warning('\\u5b9a\\u4f4d\\u8d85\\u65f6 \\xe9')\n"
        "print(locale.getpreferredencoding(False))\n"
    )
    env = {"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    result = run_python(code, env=env)
    assert result.returncode == 0, result.stderr.decode()
    assert (tmp_path / "x.log").read_bytes() == "定位超时 é\n".encode("utf-8")


def test_concurrent_records_never_interleave(tmp_path):
    path = tmp_path / "a.log"
    logger = make_logger(FileLogHandler(str(path)), "threads")
    lines_per_thread = 200

    def write(tag):
        for i in range(lines_per_thread):
            logger.info("%s %d %s", tag, i, tag * 50)

    threads = [threading.Thread(target=write, args=(tag,)) for tag in "abcd"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    lines = path.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 4 * lines_per_thread
    for line in lines:
        tag, number, tail = line.split(" ")
        assert tail == tag * 50 and 0 <= int(number) < lines_per_thread

