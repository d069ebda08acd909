"""Fixtures of the simulator tests; the helpers live in sim_helpers.py."""

import pytest

import zol_mew
from sim_helpers import TIME_SCALE, RawClient


@pytest.fixture
def sim():
    with zol_mew.Simulator((1, 2), time_scale=TIME_SCALE) as simulator:
        yield simulator


@pytest.fixture
def master(sim):
    bus = zol_mew.MewMaster(sim.port, timeout=2.0)
    yield bus
    bus.close()


@pytest.fixture
def raw(sim):
    client = RawClient(sim.port)
    yield client
    client.close()
