"""Low-latency mode, the USB latency timer and RS-485 mode, as far as they can be run here:
on a pseudo-terminal (which has neither mode) and against a sysfs tree made by the test."""

import errno
import logging
import os

import pytest

import zol_mew
from support import open_fds


@pytest.fixture
def sim():
    with zol_mew.Simulator((1,), time_scale=40.0) as simulator:
        yield simulator


def fake_usb_adapter(root, port, timer_text):
    """A sysfs tree under `root` in which the device behind `port` is the USB serial
    adapter ttyUSB0 whose latency timer file holds `timer_text`; returns that file."""
    device = root / "class" / "tty" / "ttyUSB0" / "device"
    device.mkdir(parents=True)
    timer = device / "latency_timer"
    timer.write_text(timer_text)
    number = os.stat(port).st_rdev
    (root / "dev" / "char").mkdir(parents=True)
    link = root / "dev" / "char" / ("%d:%d" % (os.major(number), os.minor(number)))
    link.symlink_to("../../class/tty/ttyUSB0")
    return timer


def test_a_pseudo_terminal_refuses_low_latency_quietly(sim, caplog):
    with caplog.at_level(logging.DEBUG, logger="zol_mew"):
        with zol_mew.MewMaster(sim.port) as master:
            assert master.latency_timer is None  # no adapter behind a pseudo-terminal
            assert master.get_int32(1, "DT10") == 5000
    records = [r for r in caplog.records if r.name == "zol_mew"]
    assert [r.levelno for r in records if "low-latency" in r.getMessage()] == [logging.DEBUG]
    assert all(r.levelno < logging.WARNING for r in records)


@pytest.mark.parametrize(
    "timer, low_latency, warns",
    [(16, True, True), (1, True, False), (16, False, False)],
    ids=["16ms-warns", "1ms-quiet", "16ms-left-as-it-is"],
)
def test_the_latency_timer_is_read_and_a_slow_one_reported(
    sim, tmp_path, monkeypatch, caplog, timer, low_latency, warns
):
    timer_file = fake_usb_adapter(tmp_path, sim.port, "%d\n" % timer)
    monkeypatch.setattr(zol_mew, "_sysfs_root", str(tmp_path))
    with caplog.at_level(logging.DEBUG, logger="zol_mew"):
        master = zol_mew.MewMaster(sim.port, low_latency=low_latency)
    warnings = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    if warns:
        assert len(warnings) == 1
        assert str(timer_file) in warnings[0] and "%d ms" % timer in warnings[0]
    else:
        assert warnings == []
    assert master.latency_timer == timer
    timer_file.write_text("2\n")  # read when asked: a change made meanwhile shows
    assert master.latency_timer == 2
    timer_file.write_text("garbage\n")
    assert master.latency_timer is None
    master.close()
    timer_file.write_text("16\n")
    assert master.latency_timer is None  # no line open


def test_rs485_on_a_pseudo_terminal_is_refused_clearly(sim):
    before = open_fds()
    with pytest.raises(zol_mew.MewError) as refused:
        zol_mew.MewMaster(sim.port, rs485=True, rs485_delay_before=0.002)
    assert refused.value.errno == errno.ENOTTY
    assert sim.port in str(refused.value) and "RS-485" in str(refused.value)
    assert open_fds() == before  # nothing left open, and the port not locked:
    with zol_mew.MewMaster(sim.port) as master:
        assert master.get_int32(1, "DT10") == 5000


@pytest.mark.parametrize(
    "port, options, message",
    [
        (None, {"rs485": True, "rs485_delay_after": 1.5}, "rs485 delays must be 0..1 s"),
        (None, {"rs485_delay_before": float("nan")}, "rs485 delays must be 0..1 s"),
        ("tcp://127.0.0.1:9", {"rs485": True}, "rs485 applies to a serial device"),
    ],
)
def test_bad_rs485_options_are_refused_before_opening(sim, port, options, message):
    before = open_fds()
    with pytest.raises(ValueError, match=message):
        zol_mew.MewMaster(port or sim.port, **options)
    assert open_fds() == before
