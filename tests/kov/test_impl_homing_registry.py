"""The homing registry while a run is being started: the station is taken from the moment
its test passes, and given back when the start fails at any later step."""

import threading

import pytest

import zol_kov
from fake_master import Call, FakeMaster


def test_station_is_taken_while_the_start_writes_the_profile():
    master = FakeMaster()
    controller = zol_kov.KOVAxisController(master)
    seen = {}

    def write_profile(*args):
        seen["busy"] = controller.is_finding_o(3)
        with pytest.raises(BlockingIOError, match=r"^Axis 3 has been finding o\.$"):
            controller.find_o(3, 5, 20, 0.2)
        with pytest.raises(RuntimeError, match="Some is finding o"):
            controller.close()
        # Not yet collectable: there is no run to wait for.
        with pytest.raises(ValueError):
            controller.wait_for_find_o_finish(3, 0.0)

    master.script("set_multi_uint32", "DT0", Call(write_profile))
    master.script("get_coil", "X1", True)  # on the negative limit: stage 0 has nothing to do
    master.script("get_coil", "Y1", False)
    master.script("get_int32", "D20", 2)
    controller.find_o(3, 5, 20, 0.2)
    assert seen == {"busy": True}
    assert isinstance(controller._find_o_threads[3], threading.Thread)
    assert controller.wait_for_find_o_finish(3) is True
    # The nested refusals wrote nothing to the device.
    assert master.ops("set_multi_uint32") == [("set_multi_uint32", 3, "DT0", [5, 20, 200])]
    controller.close()


@pytest.mark.parametrize("failing_step", ["profile", "log"])
def test_a_start_that_fails_after_the_registry_test_gives_the_station_back(
    monkeypatch, failing_step
):
    master = FakeMaster()
    controller = zol_kov.KOVAxisController(master)
    created = []

    class RecordingThread(threading.Thread):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            created.append(self)

    monkeypatch.setattr(zol_kov, "_Thread", RecordingThread)
    if failing_step == "profile":
        master.fail("set_multi_uint32", OSError("bus down"))
    else:

        class Refusing:
            def info(self, message):
                if message.startswith("Start finding o"):
                    raise OSError("disk full")

        monkeypatch.setattr(zol_kov, "logger", Refusing())
    with pytest.raises(OSError):
        controller.find_o(3, 5, 20, 0.2)
    assert controller._find_o_threads == {}
    assert all(not t.is_alive() and t.ident is None for t in created)
    controller.close()
