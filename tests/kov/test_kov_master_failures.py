"""A failure of the master reaches the caller as it is: the very exception object, no
log line, and nothing more sent after the failing call."""

import pytest

import kov_table
import zol_kov

# Every operation that reaches the master, failing at its first master call (the
# homing procedures end quietly instead: the homing tests cover them)...
FAILING = [
    (row.name, tuple(v for _, v in kov_table.sample_values(row, zol_kov)), row.master, None)
    for row in kov_table.OPERATIONS
    if row.master is not None and row.group == kov_table.OPERATION and row.name[0] != "_"
]
# ... and at a later one: the start command after the target, a poll mid-motion.
FAILING += [
    ("locate_absolutely", (1, 1.0), "set_coil", None),
    ("locate_relatively", (1,), "set_coil", None),
    ("wait_for_locating_done", (1,), "get_coil", "Y1"),
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
