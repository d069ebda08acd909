"""One status-word transfer against the single queries, on simulated modules in many states."""

import pytest

from e2e_helpers import PPMM, WAIT, requests, stop_and_settle, wait_until

FLAGS = ("at_o", "at_negative_limit", "at_positive_limit", "at_emergency", "is_alarming")


def _idle(sim, ctl):
    pass


def _on_the_negative_limit(sim, ctl):
    ctl.run_negative(1)
    assert sim.wait_stopped(1, WAIT)


def _on_the_positive_limit(sim, ctl):
    ctl.locate_absolutely(1, 500.0)
    assert sim.wait_stopped(1, WAIT)


def _in_the_origin_window(sim, ctl):
    sim.place_axis(1, -500)


def _alarm_on(sim, ctl):
    sim.set_input(1, "X4", True)


def _emergency_pressed(sim, ctl):
    sim.set_input(1, "X3", False)  # normally closed: off means pressed


def _stopped_by_command(sim, ctl):
    ctl.disable_positive_limit(1)
    ctl.run_positive(1)
    ctl.stop(1)
    assert sim.wait_stopped(1, WAIT)


@pytest.mark.parametrize(
    "arrange, position, true_flags, source",
    [
        (_idle, 5000, {"at_emergency"}, "Null"),
        (_on_the_negative_limit, -20000, {"at_negative_limit", "at_emergency"}, "NegativeLimit"),
        (_on_the_positive_limit, 20000, {"at_positive_limit", "at_emergency"}, "PositiveLimit"),
        (_in_the_origin_window, -500, {"at_o", "at_emergency"}, "Null"),
        (_alarm_on, 5000, {"is_alarming", "at_emergency"}, "Null"),
        (_emergency_pressed, 5000, set(), "Null"),
        (_stopped_by_command, None, {"at_emergency"}, "Command"),
    ],
    ids=["idle", "negative-limit", "positive-limit", "origin", "alarm", "emergency", "stopped"],
)
def test_status_words_agree_with_the_single_queries(
    kov, sim, ctl, arrange, position, true_flags, source
):
    ctl.set_ppmm(1, PPMM)
    arrange(sim, ctl)
    state = sim.state(1)
    if position is not None:
        assert state["position"] == position

    sim.clear_request_log()
    words = ctl.status_words(1)
    assert requests(sim, 1) == [("RD", "001022")]  # one transfer: DT10..DT31

    assert len(words) == 5
    assert words[0] == pytest.approx(state["position"] / PPMM)
    assert words[2] == 0.0
    assert words[3] & 0xFFFF == state["inputs"]
    assert (words[3] >> 16) & 0xFFFF == state["outputs"]
    assert words[4] == getattr(kov.StopSource, source).value

    # Answers from the words cost no transfer.
    sim.clear_request_log()
    from_words = {name: getattr(ctl, name)(1, words) for name in FLAGS + ("is_running",)}
    assert ctl.get_position(1, words) == words[0]
    assert requests(sim, 1) == []

    from_device = {name: getattr(ctl, name)(1) for name in FLAGS + ("is_running",)}
    assert from_words == from_device
    assert from_words == {name: name in true_flags for name in FLAGS + ("is_running",)}
    assert ctl.get_position(1) == words[0]
    assert ctl.get_stop_source(1) is getattr(kov.StopSource, source)


@pytest.mark.parametrize("jog, velocity", [("run_negative", -50.0), ("run_positive", 50.0)])
def test_status_words_of_a_moving_axis(sim, ctl, jog, velocity):
    ctl.set_ppmm(1, PPMM)
    ctl.set_parameters(1, 5.0, 50.0, 0.05)
    ctl.disable_negative_limit(1)
    ctl.disable_positive_limit(1)
    getattr(ctl, jog)(1)
    wait_until(lambda: sim.state(1)["velocity"] == velocity * PPMM, "the jog to cruise")

    words = ctl.status_words(1)
    assert words[2] == velocity
    assert ctl.is_running(1, words) is True
    assert ctl.is_running(1) is True
    assert words[4] == 0  # no stop source while it runs
    # Y0 (direction output) is on going negative, Y1 (pulses) while it runs.
    assert (words[3] >> 16) & 0b11 == (0b11 if velocity < 0 else 0b10)
    stop_and_settle(sim, 1)


def test_encoder_follows_the_axis_only_while_the_drive_is_enabled(sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.enable_axis(1)
    assert sim.get_coil(1, "Y2") is True
    ctl.locate_absolutely(1, 10.0)
    ctl.wait_for_locating_done(1, WAIT)
    words = ctl.status_words(1)
    assert words[:2] == [10.0, 10.0]
    assert (words[3] >> 16) & 4  # Y2 in the output image

    ctl.disable_axis(1)
    assert sim.get_coil(1, "Y2") is False
    ctl.locate_absolutely(1, 20.0)
    ctl.wait_for_locating_done(1, WAIT)
    words = ctl.status_words(1)
    assert words[:2] == [20.0, 10.0]
    assert not (words[3] >> 16) & 4
    assert "Enable axis(station) 1" in log.messages
    assert "Disable axis(station) 1" in log.messages


def test_set_position_and_set_here_o_redefine_the_counter_only(sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.set_position(1, 12.349)
    assert sim.state(1)["position"] == 1234
    assert sim.state(1)["axis"] == 5000
    assert ctl.get_position(1) == 12.34
    ctl.set_here_o(1)
    assert (sim.state(1)["position"], sim.state(1)["axis"]) == (0, 5000)
    assert ctl.get_position(1) == 0.0
    assert not sim.state(1)["moving"]
    assert log.messages[-1] == "Set here O for station 1"
