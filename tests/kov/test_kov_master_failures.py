"""A failure of the master reaches the caller as it is: the very exception object, no
log line, and nothing more sent after the failing call."""

import pytest

# (operation, arguments, the master operation that fails, at which address; None: any)
FAILING = [
    # units and profile
    ("set_start_velocity", (1, 1), "set_uint32", None),
    ("set_velocity", (1, 1), "set_uint32", None),
    ("set_acceleration_time", (1, 1), "set_uint32", None),
    ("set_parameters", (1, 1, 2, 3), "set_multi_uint32", None),
    # positioning and jogging: the target write or the start command
    ("locate_absolutely", (1, 1.0), "set_int32", None),
    ("locate_absolutely", (1, 1.0), "set_coil", None),
    ("locate_relatively", (1, 1.0), "set_int32", None),
    ("locate_relatively", (1,), "set_coil", None),
    ("run_positive", (1,), "set_coil", None),
    ("run_negative", (1,), "set_coil", None),
    ("stop", (1,), "set_coil", None),
    ("enable_axis", (1,), "set_coil", None),
    ("disable_axis", (1,), "set_coil", None),
    ("wait_for_locating_done", (1,), "get_coil", "Y1"),
    # status and position
    ("status_words", (1,), "get_multi_int32", None),
    ("get_position", (1,), "get_int32", None),
    ("set_position", (1, 1.0), "set_int32", None),
    ("set_here_o", (3,), "set_int32", None),
    ("is_running", (1,), "get_coil", None),
    ("get_stop_source", (1,), "get_int32", None),
    # signal configuration and raw access
    ("disable_negative_limit", (1,), "set_coil", None),
    ("enable_negative_limit", (1,), "set_coil", None),
    ("disable_positive_limit", (1,), "set_coil", None),
    ("enable_positive_limit", (1,), "set_coil", None),
    ("disable_alarm", (1,), "set_coil", None),
    ("enable_alarm", (1,), "set_coil", None),
    ("disable_emergency", (1,), "set_coil", None),
    ("enable_emergency", (1,), "set_coil", None),
    ("origin_rising_valid", (2, True), "set_coil", None),
    ("reverse_direction_output", (2, True), "set_coil", None),
    ("negative_limit_is_disabled", (1,), "get_coil", None),
    ("get_coil", (1, "X0"), "get_coil", None),
    ("set_coil", (1, "Y0", True), "set_coil", None),
    ("get_coil_uint16", (1, "WX0"), "get_coil_uint16", None),
    ("set_coil_uint16", (1, "WY0", 1), "set_coil_uint16", None),
]


@pytest.mark.parametrize("name, args, op, address", FAILING,
                         ids=["%s-%s" % (f[0], f[2]) for f in FAILING])
def test_master_failure_passes_through_unchanged(ctl, fake, log, sleeps, name, args, op, address):
    error = ConnectionError("no reply")
    if address == "Y1":  # the wait fails at its second poll, mid-motion
        fake.script("get_coil", "Y1", True, error)
    else:
        fake.fail(op, error, address)
    with pytest.raises(ConnectionError) as excinfo:
        getattr(ctl, name)(*args)
    assert excinfo.value is error
    assert fake.calls[-1][0] == op
    assert log.records == []
