import enum

import pytest

import zol_kov
from zol_kov import Direction, FindingOMethod, StopSource

MEMBERS = {
    "Direction": [("Negative", -1), ("Positive", 1)],
    "StopSource": [
        ("Null", 0), ("Command", 1), ("Origin", 2), ("NegativeLimit", 3),
        ("PositiveLimit", 4), ("Alarm", 5), ("Emergency", 6),
    ],
    "FindingOMethod": [("LimitFirstThenBackward", 0), ("OriginOnly", 1)],
}


def reference(name, members, reverse=False):
    """The same enumeration defined in Python, to compare what the interpreter adds."""
    namespace = enum.IntEnum.__class__.__prepare__(name, (enum.IntEnum,))
    for member, value in members:
        namespace[member] = value
    if reverse:
        namespace["reverse"] = lambda self: self
    return type(enum.IntEnum)(name, (enum.IntEnum,), namespace)


@pytest.mark.parametrize("name", list(MEMBERS))
def test_members_values_and_order(name):
    cls = getattr(zol_kov, name)
    assert issubclass(cls, enum.IntEnum)
    assert cls.__module__ == "zol_kov"
    assert cls.__name__ == name
    assert [(m.name, m.value) for m in cls] == MEMBERS[name]
    for member, value in MEMBERS[name]:
        assert cls(value) is getattr(cls, member) is cls[member]
        assert type(cls(value).value) is int


@pytest.mark.parametrize("name", list(MEMBERS))
def test_no_docstring_and_no_extra_members(name):
    cls = getattr(zol_kov, name)
    ref = reference(name, MEMBERS[name], reverse=name == "Direction")
    assert cls.__doc__ == ref.__doc__
    public = lambda c: sorted(k for k in vars(c) if not k.startswith("_"))  # noqa: E731
    assert public(cls) == public(ref)


def test_enumerations_are_defined_in_order():
    names = [n for n in vars(zol_kov) if n in MEMBERS]
    assert names == ["Direction", "StopSource", "FindingOMethod"]


@pytest.mark.parametrize(
    "member, reversed_member",
    [(Direction.Positive, Direction.Negative), (Direction.Negative, Direction.Positive)],
)
def test_reverse(member, reversed_member):
    assert member.reverse() is reversed_member
    assert member.reverse().reverse() is member
    assert Direction.reverse(member) is reversed_member


def test_reverse_takes_no_argument():
    with pytest.raises(TypeError):
        Direction.Positive.reverse(1)


def test_integer_behaviour():
    assert int(Direction.Negative) == -1
    assert Direction.Negative < Direction.Positive
    assert Direction.Negative == -1 and StopSource.Alarm == 5
    assert StopSource.Origin + 1 == 3
    assert sorted([StopSource.Emergency, 0, StopSource.Command]) == [0, 1, 6]
    assert format(StopSource.NegativeLimit, "") == "3"
    assert format(Direction.Negative, "") == "-1"
    assert format(FindingOMethod.OriginOnly, "") == "1"


@pytest.mark.parametrize(
    "cls, value",
    [(StopSource, 7), (Direction, 0), (FindingOMethod, 2), (StopSource, -1)],
)
def test_unknown_value_raises_value_error(cls, value):
    with pytest.raises(ValueError):
        cls(value)
