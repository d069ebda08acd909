"""Status words, position, inputs and the stop source."""

import pytest

from kov_helpers import argtype
from zol_kov import KOVAxisController, StopSource

INPUT_TESTS = [
    # method, coil, bit of status word 3
    ("at_o", "X0", 0),
    ("at_negative_limit", "X1", 1),
    ("at_positive_limit", "X2", 2),
    ("at_emergency", "X3", 3),
    ("is_alarming", "X4", 4),
    ("is_running", "Y1", 17),
]
NAMES = [name for name, _, _ in INPUT_TESTS]


class Words(list):
    pass


def test_status_words(ctl, fake, log):
    ctl.set_ppmm(1, 100)
    log.clear()
    block = [1000, -2050, 300, -(2 ** 31) + 3, 99, 0x0105, 7, 8, 9, 10, 11]
    fake.script("get_multi_int32", "DT10", block)
    words = ctl.status_words(1)
    assert fake.calls == [("get_multi_int32", 1, "DT10", 11)]
    assert type(fake.calls[0][3]) is int
    assert type(words) is list
    assert words == [10.0, -20.5, 3.0, -(2 ** 31) + 3, 5]
    assert [type(w) for w in words] == [float, float, float, int, int]
    assert log.records == []


def test_status_words_converts_through_the_instance(fake):
    class Sub(KOVAxisController):
        def from_pulse(self, station, value):
            return ("mm", station, value)

    fake.script("get_multi_int32", "DT10", (1, 2, 3, 4, 5, 6))
    controller = Sub(fake)
    assert controller.status_words(2) == [("mm", 2, 1), ("mm", 2, 2), ("mm", 2, 3), 4, 6]


@pytest.mark.parametrize("code, word", [(0x0105, 5), (0x1FF, 255), (-1, 255), (0x100, 0), (6, 6)])
def test_status_words_keep_the_low_eight_bits_of_the_stop_source(ctl, fake, code, word):
    fake.script("get_multi_int32", "DT10", [0, 0, 0, 0, 0, code])
    assert ctl.status_words(1)[4] == word


def test_status_words_needs_six_elements(ctl, fake):
    fake.script("get_multi_int32", "DT10", [0, 0, 0, 0, 0])
    with pytest.raises(IndexError):
        ctl.status_words(1)


@pytest.mark.parametrize("words", [None, []])
def test_get_position_reads_the_device(ctl, fake, log, words):
    ctl.set_ppmm(3, 100)
    log.clear()
    fake.script("get_int32", "DT10", -1234)
    assert ctl.get_position(3, words) == -12.34
    assert fake.calls == [("get_int32", 3, "DT10")]
    assert log.records == []


def test_get_position_from_status_words(ctl, fake):
    marker = object()
    assert ctl.get_position(3, [marker]) is marker
    assert ctl.get_position(3, status_words=[2.5, 0, 0, 0, 0]) == 2.5
    assert fake.calls == []


def test_get_position_agrees_with_status_words(ctl, fake):
    ctl.set_ppmm(1, 8)
    fake.script("get_multi_int32", "DT10", [-12, 0, 0, 0, 0, 0])
    fake.script("get_int32", "DT10", -12)
    assert ctl.get_position(1, ctl.status_words(1)) == ctl.get_position(1) == -1.5


@pytest.mark.parametrize("name", NAMES + ["get_position"])
@pytest.mark.parametrize("bad, type_name", [((0, 0, 0, 0), "tuple"), (Words([0] * 5), "Words"),
                                            ("0000", "str")])
def test_status_words_must_be_a_list(ctl, fake, name, bad, type_name):
    with pytest.raises(TypeError) as excinfo:
        getattr(ctl, name)(1, bad)
    assert str(excinfo.value) == argtype("status_words", "list", type_name)
    assert fake.calls == []


@pytest.mark.parametrize("name", NAMES + ["get_position"])
def test_station_is_tested_before_the_status_words(ctl, name):
    with pytest.raises(TypeError) as excinfo:
        getattr(ctl, name)(True, ())
    assert str(excinfo.value) == argtype("station", "int", "bool")


@pytest.mark.parametrize("name, coil, bit", INPUT_TESTS)
@pytest.mark.parametrize("words", [None, []])
def test_input_tests_read_their_coil(ctl, fake, log, name, coil, bit, words):
    answer = object()
    fake.script("get_coil", coil, answer)
    assert getattr(ctl, name)(2, words) is answer
    assert getattr(ctl, name)(2) is answer
    assert fake.calls == [("get_coil", 2, coil)] * 2
    assert log.records == []


@pytest.mark.parametrize("name, coil, bit", INPUT_TESTS)
@pytest.mark.parametrize(
    "word3",
    [0, -1, 1 << 17, 2, 1 << 18, 0xFFFF, 0x1F, -(2 ** 31) | 0b10101, -(2 ** 31) | (1 << 17),
     ~(1 << 17), 1 << 16],
)
def test_input_tests_on_status_words(ctl, fake, name, coil, bit, word3):
    result = getattr(ctl, name)(2, [0.0, 0.0, 0.0, word3, 0])
    assert type(result) is bool
    assert result is bool((word3 >> bit) & 1)
    assert fake.calls == []


@pytest.mark.parametrize("name", NAMES)
def test_input_tests_need_four_status_words(ctl, name):
    with pytest.raises(IndexError):
        getattr(ctl, name)(1, [0, 0, 0])


def test_input_tests_on_a_closed_controller(log):
    controller = KOVAxisController(None)
    assert controller.is_running(1, [0, 0, 0, 1 << 17, 0]) is True
    assert controller.at_negative_limit(1, [0, 0, 0, 2, 0]) is True
    assert controller.at_positive_limit(1, [0, 0, 0, 2, 0]) is False


@pytest.mark.parametrize("mm, pulses", [(12.5, 1250), (12.349, 1234), (-0.019, -1), (3, 300)])
def test_set_position(ctl, fake, log, mm, pulses):
    ctl.set_ppmm(1, 100)
    log.clear()
    assert ctl.set_position(1, position=mm) is None
    assert fake.calls == [("set_int32", 1, "DT10", pulses)]
    assert log.records == []


def test_set_position_converts_through_the_instance(fake):
    class Sub(KOVAxisController):
        def to_pulse(self, station, value):
            return ("pulses", station, value)

    controller = Sub(fake)
    controller.set_position(4, 2)
    assert fake.calls == [("set_int32", 4, "DT10", ("pulses", 4, 2.0))]


def test_set_here_o(ctl, fake, log):
    ctl.set_ppmm(3, 100)
    log.clear()
    assert ctl.set_here_o(3) is None
    assert fake.calls == [("set_int32", 3, "DT10", 0)]
    assert log.records == [("INFO", "Set here O for station 3")]


def test_set_here_o_goes_through_set_position(fake, log):
    seen = []

    class Sub(KOVAxisController):
        def set_position(self, station, position):
            seen.append((station, position, type(position)))

    controller = Sub(fake)
    controller.set_here_o(3)
    assert seen == [(3, 0, int)]
    assert fake.calls == []
    assert log.messages[-1] == "Set here O for station 3"


@pytest.mark.parametrize("code", range(7))
def test_get_stop_source(ctl, fake, code):
    fake.script("get_int32", "D20", code)
    assert ctl.get_stop_source(6) is StopSource(code)
    assert fake.calls == [("get_int32", 6, "D20")]


@pytest.mark.parametrize("code", [261, 7, -1, 0x10000])
def test_get_stop_source_does_not_mask(ctl, fake, code):
    fake.script("get_int32", "D20", code)
    with pytest.raises(ValueError) as excinfo:
        ctl.get_stop_source(6)
    try:
        StopSource(code)
    except ValueError as e:
        assert str(excinfo.value) == str(e)


def test_stop_source_261_in_both_reads(ctl, fake):
    fake.script("get_multi_int32", "DT10", [0, 0, 0, 0, 0, 261, 0, 0, 0, 0, 0])
    fake.script("get_int32", "D20", 261)
    assert ctl.status_words(1)[4] == 5
    with pytest.raises(ValueError):
        ctl.get_stop_source(1)


@pytest.mark.parametrize(
    "op, answer, call, error",
    [
        ("get_multi_int32", None, lambda c: c.status_words(1), TypeError),
        ("get_multi_int32", [0, 0, 0, 0, 0, 7.0], lambda c: c.status_words(1), TypeError),
        ("get_multi_int32", [0, 0, 0, 0, 0, "5"], lambda c: c.status_words(1), TypeError),
        ("get_int32", "x", lambda c: c.get_position(1), TypeError),
        ("get_int32", "x", lambda c: c.get_stop_source(1), ValueError),
        ("get_int32", None, lambda c: c.get_stop_source(1), ValueError),
    ],
)
def test_garbage_from_the_master_raises(ctl, fake, op, answer, call, error):
    fake.script(op, None, answer)
    with pytest.raises(error):
        call(ctl)


@pytest.mark.parametrize("word3", [2.5, "1", None])
@pytest.mark.parametrize("name", NAMES)
def test_input_tests_refuse_a_non_integer_image(ctl, name, word3):
    with pytest.raises(TypeError):
        getattr(ctl, name)(1, [0, 0, 0, word3])


@pytest.mark.parametrize("name, coil, bit", INPUT_TESTS)
def test_input_tests_on_wide_integers(ctl, name, coil, bit):
    word3 = (1 << 100) | (1 << bit)
    assert getattr(ctl, name)(1, [0, 0, 0, word3]) is True
    assert getattr(ctl, name)(1, [0, 0, 0, 1 << 100]) is False
