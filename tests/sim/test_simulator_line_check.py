"""Simulator(line_check=True): a module answers only a master whose line has its rate and
framing, as far as a pseudo-terminal keeps them (the rate, the stop bits, odd parity)."""

import pytest

import zol_mew


@pytest.fixture(scope="module")
def sim():
    with zol_mew.Simulator(2, baudrate=19200, parity="O", line_check=True) as simulator:
        yield simulator


@pytest.mark.parametrize(
    "baudrate, parity, stopbits, heard",
    [
        (19200, "O", 1, "reply"),
        (9600, "O", 1, "nothing"),  # another rate: noise to the module
        (38400, "O", 1, "nothing"),
        (19200, "N", 1, "garbage"),  # the right rate, another framing
        (19200, "O", 2, "garbage"),
    ],
)
def test_a_module_answers_only_its_own_rate_and_framing(sim, baudrate, parity, stopbits, heard):
    before = sim.get_int32(2, "DT6")
    with zol_mew.MewMaster(sim.port, baudrate, parity=parity, stopbits=stopbits, timeout=0.05,
                           retries=0) as bus:
        try:
            bus.set_int32(2, "DT6", before + 1)
            got = "reply"
        except zol_mew.MewTimeoutError:
            got = "garbage" if bus.stats["bytes_received"] else "nothing"
    assert got == heard
    # Only the request that was understood was carried out.
    assert sim.get_int32(2, "DT6") == before + (heard == "reply")


def test_line_check_needs_a_rate_and_a_pseudo_terminal():
    with pytest.raises(ValueError, match="line_check needs the modules' baudrate"):
        zol_mew.Simulator(1, line_check=True)
    with pytest.raises(ValueError, match="line_check needs a pseudo-terminal"):
        zol_mew.Simulator(1, baudrate=9600, tcp=True, line_check=True)
    with pytest.raises(ValueError, match="parity must be"):
        zol_mew.Simulator(1, parity="X")
