"""The simulator seen through a real MewMaster on its pseudo-terminal: the
register and coil map, every motion with its stop source, and faults as the
master's exceptions."""

import time

import pytest

import zol_mew
from sim_helpers import TIME_SCALE, WAIT, wait_idle

NULL, COMMAND, ORIGIN, NEGATIVE_LIMIT, POSITIVE_LIMIT, ALARM, EMERGENCY = range(7)


# ---- register map ------------------------------------------------------------


def test_fresh_status_block(master):
    block = master.get_multi_int32(1, "DT10", 11)
    assert list(block) == [5000, 5000, 0, 1 << 3, 0, NULL, 0, 0, 0, 0, 0]
    assert master.get_int32(1, "D20") == block[5]
    assert master.get_multi_int32(1, "DT0", 3) == [1000, 10000, 100]


@pytest.mark.parametrize(
    "address, value",
    [
        ("DT0", 70000),
        ("DT2", 123456),
        ("DT4", 250),
        ("DT6", -123456),
        ("DT8", -7),
        ("DT10", -42),  # redefines the position
        ("DT12", 99999),  # sets the encoder
        ("DT32", -1),
        ("DT1000", 0x12345678),
        ("DT9998", -2147483648),
    ],
)
def test_writable_registers(master, address, value):
    master.set_int32(1, address, value)
    assert master.get_int32(1, address) == value
    assert master.get_int32(2, address) != value  # stations are separate devices


@pytest.mark.parametrize("address", ["DT14", "DT16", "DT18", "DT20", "DT22", "DT30"])
def test_status_registers_are_read_only(master, address):
    before = master.get_int32(1, address)
    with pytest.raises(zol_mew.MewDeviceError) as info:
        master.set_int32(1, address, 77)
    assert info.value.code == 6
    assert master.get_int32(1, address) == before


def test_block_write_equals_single_writes(master):
    master.set_multi_uint32(1, "DT0", [600, 30000, 45])
    master.set_uint32(2, "DT0", 600)
    master.set_uint32(2, "DT2", 30000)
    master.set_uint32(2, "DT4", 45)
    assert master.get_multi_int32(1, "DT0", 3) == master.get_multi_int32(2, "DT0", 3)
    assert master.get_multi_int32(1, "DT0", 3) == [600, 30000, 45]


@pytest.mark.parametrize("relay", ["R10", "R12", "R13", "R14", "R15", "R16", "R7", "R11", "R500"])
def test_switch_relays_hold_their_value(master, relay):
    master.set_coil(1, relay, True)
    assert master.get_coil(1, relay) is True
    master.set_coil(1, relay, False)
    assert master.get_coil(1, relay) is False


@pytest.mark.parametrize("relay", ["R0", "R1", "R2", "R3", "R4", "R5", "R6"])
def test_command_relays_read_back_false(master, relay):
    master.set_coil(1, relay, True)
    assert master.get_coil(1, relay) is False
    master.set_coil(1, "R0", True)
    wait_idle(master, 1)


def test_relay_word_mirrors_relays(master):
    master.set_coil(1, "R10", True)
    master.set_coil(1, "R12", True)
    master.set_coil(1, "R16", True)
    assert master.get_coil_uint16(1, "WR0") == (1 << 10) | (1 << 12)
    assert master.get_coil_uint16(1, "WR1") == 1
    master.set_coil_uint16(1, "WR0", 1 << 13)
    assert not master.get_coil(1, "R12")
    assert master.get_coil(1, "R13")


def test_inputs_and_outputs(master, sim):
    assert [master.get_coil(1, "X%d" % n) for n in range(5)] == [False, False, False, True, False]
    master.set_coil(1, "Y2", True)
    assert master.get_coil(1, "Y2") is True
    master.set_coil(1, "Y15", True)
    image = master.get_multi_int32(1, "DT10", 11)[3]
    assert image < 0  # Y15 is bit 31
    assert image & 8 and (image >> 16) & 4
    assert master.get_coil_uint16(1, "WX0") == image & 0xFFFF
    assert master.get_coil_uint16(1, "WY0") == (image >> 16) & 0xFFFF
    with pytest.raises(zol_mew.MewDeviceError) as info:
        master.set_coil(1, "Y1", True)  # the pulse output is the module's own
    assert info.value.code == 6
    with pytest.raises(zol_mew.MewDeviceError) as info:
        master.get_coil(1, "X16")
    assert info.value.code == 4


# ---- motions -----------------------------------------------------------------


def test_absolute_and_relative_positioning(master):
    master.set_int32(1, "DT6", 8000)
    master.set_coil(1, "R1", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "DT10") == 8000
    assert master.get_int32(1, "D20") == NULL
    master.set_int32(1, "DT8", -3000)
    master.set_coil(1, "R2", True)
    wait_idle(master, 1)
    master.set_coil(1, "R2", True)  # DT8 is kept: the same step again
    wait_idle(master, 1)
    assert master.get_int32(1, "DT10") == 2000
    assert master.get_int32(1, "D20") == NULL


@pytest.mark.parametrize(
    "relay, position, source, limit_input",
    [("R3", -20000, NEGATIVE_LIMIT, "X1"), ("R4", 20000, POSITIVE_LIMIT, "X2")],
)
def test_jog_ends_on_limit(master, sim, relay, position, source, limit_input):
    master.set_coil(1, relay, True)
    wait_idle(master, 1)
    assert sim.trace(1)[0][3].startswith("start jog")
    assert master.get_int32(1, "DT10") == position
    assert master.get_int32(1, "D20") == source
    assert master.get_coil(1, limit_input) is True
    # Another start towards the same limit stops at once.
    master.set_coil(1, relay, True)
    assert master.get_coil(1, "Y1") is False
    assert master.get_int32(1, "D20") == source


def test_stop_command(master):
    master.set_coil(1, "R13", True)  # no limit to end the jog by itself
    master.set_coil(1, "R4", True)
    assert master.get_coil(1, "Y1") is True
    assert master.get_int32(1, "D20") == NULL  # cleared by the start
    master.set_coil(1, "R0", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == COMMAND
    assert master.get_int32(1, "DT10") > 5000


@pytest.mark.parametrize(
    "start, relay, rising, position, x0",
    [
        (5000, "R5", False, -1001, False),  # leaves the window [-1000, 0] downwards
        (5000, "R5", True, 0, True),  # enters it from above
        (-20000, "R6", True, -1000, True),
        (-20000, "R6", False, 1, False),
    ],
)
def test_origin_search(master, sim, start, relay, rising, position, x0):
    sim.place_axis(1, start)
    master.set_coil(1, "R10", rising)
    master.set_coil(1, relay, True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == ORIGIN
    assert master.get_int32(1, "DT10") == position
    assert master.get_coil(1, "X0") is x0


def test_limit_first_homing_sequence(master):
    """What the controller's limit-first homing does, step by step."""
    master.set_multi_uint32(1, "DT0", [500, 8000, 80])
    master.set_coil(1, "R3", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == NEGATIVE_LIMIT
    master.set_coil(1, "R6", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == ORIGIN
    master.set_int32(1, "DT10", 0)
    assert master.get_multi_int32(1, "DT10", 11)[0] == 0
    # The switches stay where they are: the negative limit is 20001 pulses away.
    master.set_coil(1, "R3", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "DT10") == -20001


def test_origin_search_ends_on_limit_without_edge(master, sim):
    sim.set_geometry(1, origin_low=30000, origin_high=31000)  # beyond the positive limit
    master.set_coil(1, "R6", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == POSITIVE_LIMIT


@pytest.mark.parametrize(
    "input_name, level, disable, source",
    [("X4", True, "R14", ALARM), ("X3", False, "R15", EMERGENCY)],
)
def test_alarm_and_emergency(master, sim, input_name, level, disable, source):
    master.set_coil(1, "R13", True)
    master.set_coil(1, "R4", True)
    sim.set_input(1, input_name, level)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == source
    master.set_coil(1, "R3", True)  # a start while the input is active ends at once
    assert master.get_coil(1, "Y1") is False
    assert master.get_int32(1, "D20") == source
    # Disabled, the same input lets a motion run to its end.
    master.set_coil(1, disable, True)
    master.set_coil(1, "R3", True)
    wait_idle(master, 1)
    assert master.get_int32(1, "D20") == NEGATIVE_LIMIT


def test_encoder_follows_only_an_enabled_drive(master):
    master.set_int32(1, "DT8", 1000)
    master.set_coil(1, "R2", True)
    wait_idle(master, 1)
    assert master.get_multi_int32(1, "DT10", 2) == [6000, 5000]
    master.set_coil(1, "Y2", True)
    master.set_coil(1, "R2", True)
    wait_idle(master, 1)
    assert master.get_multi_int32(1, "DT10", 2) == [7000, 6000]


def test_status_block_agrees_with_stop_source_while_running(master):
    master.set_coil(1, "R12", True)
    master.set_coil(1, "R3", True)
    block = master.get_multi_int32(1, "DT10", 11)
    assert (block[3] >> 16) & 2  # Y1 in the image
    assert block[2] < 0  # moving negative
    assert block[5] == NULL
    master.set_coil(1, "R12", False)  # the limit, enabled again, ends the jog
    wait_idle(master, 1)
    block = master.get_multi_int32(1, "DT10", 11)
    assert block[5] == master.get_int32(1, "D20") == NEGATIVE_LIMIT
    assert block[3] & 2 and not (block[3] >> 16) & 2


# ---- faults as the master sees them -------------------------------------------


@pytest.fixture
def strict(sim):
    """A master that does not retry, so every fault surfaces."""
    bus = zol_mew.MewMaster(sim.port, timeout=0.3, retries=0)
    yield bus
    bus.close()


@pytest.mark.parametrize(
    "inject, expected",
    [
        (lambda s: s.drop_replies(1), zol_mew.MewTimeoutError),
        (lambda s: s.corrupt_next_reply(), zol_mew.MewProtocolError),
        (lambda s: s.delay_next_reply(0.6), zol_mew.MewTimeoutError),
        (lambda s: s.split_next_reply(5, 0.4), zol_mew.MewTimeoutError),
        (lambda s: s.answer_next_as(2), (zol_mew.MewTimeoutError, zol_mew.MewProtocolError)),
    ],
    ids=["drop", "corrupt", "delay", "split", "other-station"],
)
def test_fault_raises(strict, sim, inject, expected):
    inject(sim)
    with pytest.raises(expected):
        strict.get_int32(1, "DT10")
    # Only the next reply suffers; a late reply is not taken for a later one.
    time.sleep(0.5)
    assert strict.get_int32(1, "DT10") == 5000


@pytest.mark.parametrize("code", [2, 3, 4, 5, 6])
def test_error_reply_raises_device_error(strict, sim, code):
    sim.error_next_reply(code)
    with pytest.raises(zol_mew.MewDeviceError) as info:
        strict.set_int32(1, "DT6", 1234)
    assert info.value.code == code
    assert strict.get_int32(1, "DT6") == 0  # a refused request is not carried out


def test_checksum_error_reply_makes_master_resend_write(master, sim):
    sim.error_next_reply(1)
    count = sim.request_count
    master.set_int32(1, "DT6", 4321)
    assert master.get_int32(1, "DT6") == 4321
    assert sim.request_count - count == 3  # refused write, resent write, read


def test_retries_hide_a_dropped_read(sim):
    with zol_mew.MewMaster(sim.port, timeout=0.3, retries=1) as bus:
        sim.drop_replies(1)
        assert bus.get_int32(1, "DT10") == 5000
        assert sim.request_count == 2


def test_short_split_and_garbage_are_tolerated(master, sim):
    sim.split_next_reply(3, 0.01)
    assert master.get_int32(1, "DT10") == 5000
    sim.emit_garbage(b"\x00\xffnoise\r>>")
    time.sleep(0.05)
    assert master.get_int32(1, "DT10") == 5000


@pytest.mark.parametrize("on_next_request", [False, True])
def test_hang_up(sim, on_next_request):
    bus = zol_mew.MewMaster(sim.port, timeout=0.5, retries=0)
    try:
        old_port = sim.port
        sim.hang_up(on_next_request=on_next_request)
        with pytest.raises(zol_mew.MewError):
            bus.get_int32(1, "DT10")
    finally:
        bus.close()
    assert sim.port != old_port
    with zol_mew.MewMaster(sim.port) as again:
        assert again.get_int32(1, "DT10") == 5000


# ---- other lines -------------------------------------------------------------


def test_tcp_line():
    with zol_mew.Simulator(3, tcp=True, time_scale=TIME_SCALE) as sim:
        assert sim.port.startswith("tcp://127.0.0.1:")
        with zol_mew.MewMaster(sim.port, reconnect=False) as bus:
            bus.set_coil(3, "R3", True)
            wait_idle(bus, 3)
            assert bus.get_int32(3, "D20") == NEGATIVE_LIMIT
            sim.hang_up()
            with pytest.raises(zol_mew.MewError):
                bus.get_int32(3, "DT10")
        with zol_mew.MewMaster(sim.port) as bus:  # the port stays
            assert bus.get_int32(3, "DT10") == -20000


def test_paced_replies_at_baudrate():
    with zol_mew.Simulator(1, baudrate=9600, time_scale=TIME_SCALE) as sim:
        with zol_mew.MewMaster(sim.port, 9600, timeout=WAIT) as bus:
            assert bus.get_multi_int32(1, "DT0", 16)[:3] == [1000, 10000, 100]


def test_pacing_holds_replies_back():
    # 28 characters at 300 baud take almost a second on the wire: a master that
    # waits 0.2 s cannot have its reply, however fast the machine.
    with zol_mew.Simulator(1, baudrate=300) as sim:
        with zol_mew.MewMaster(sim.port, timeout=0.2, retries=0) as bus:
            with pytest.raises(zol_mew.MewTimeoutError):
                bus.get_int32(1, "DT10")
        sim.close()  # interrupts the paced reply still waiting
        assert sim.closed
