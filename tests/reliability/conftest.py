"""Fixtures of the reliability tests; shared helpers live in rel_helpers.py."""

import pytest

import zol_mew
from support import TIME_SCALE


@pytest.fixture
def sim():
    with zol_mew.Simulator((1, 2, 3), time_scale=TIME_SCALE) as simulator:
        yield simulator

