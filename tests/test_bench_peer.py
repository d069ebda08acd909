"""The plain-Python peer that the controller benchmark compares against gives the
extension's results, master calls and errors, case by case (bench/peer_check.py)."""

import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
sys.path.insert(0, str(BENCH))
try:
    import peer_check
finally:
    sys.path.remove(str(BENCH))


@pytest.mark.parametrize("case", peer_check.CASES, ids=[c.name for c in peer_check.CASES])
def test_the_peer_behaves_as_the_extension(case):
    extension, peer = peer_check.outcomes(case)
    assert peer == extension
