"""The members of KOVAxisController as the tests know them: one row per member, in
definition order, with each parameter's kind, annotation and a valid sample value.
Everything else the tests need about the operations' parameters derives from here."""

import collections

# Parameter kinds: how an operation takes the argument.
S = "station"  # exactly int, the shared station parameter
F = "float"  # converted to float
OF = "optional float"  # None or exactly float
OL = "optional list"  # None or exactly list: the status words
STR = "str"  # exactly str: a register or coil name
INT = "int"  # an int, passed to the master
ANY = "any"  # anything, passed on or stored unchecked
DIR = "direction"  # a Direction member (its type is tested by find_o only)

_ANNOTATION = {S: "int", F: "float", OF: "_Optional[float]", OL: "_Optional[list]",
               STR: "str", INT: "int", DIR: "Direction"}
_SAMPLE = {S: 1, F: 1.5, OF: 1.5, OL: None, STR: "R7", INT: 3, DIR: "Negative"}
_KIND = object()

Param = collections.namedtuple("Param", "name kind annotation sample")
# master: the master operation that the operation calls first (None: it calls none).
Row = collections.namedtuple("Row", "name params defaults returns group master")

# Row groups: operations (the generic argument tests apply), lifecycle members and the
# property (tested on their own), and homing control (its return annotation is free).
OPERATION, LIFECYCLE, PROPERTY, HOMING = "operation", "lifecycle", "property", "homing"
FREE = object()  # a return annotation the tests do not fix


def p(name, kind, annotation=_KIND, sample=_KIND):
    return Param(
        name,
        kind,
        _ANNOTATION[kind] if annotation is _KIND else annotation,
        _SAMPLE.get(kind) if sample is _KIND else sample,
    )


STATION = p("station", S)
STATUS_WORDS = p("status_words", OL)


def op(name, *params, master=None, defaults=(), returns=None, group=OPERATION):
    return Row(name, (STATION,) + params, defaults, returns, group, master)


def member(name, group, defaults=()):
    return Row(name, (), defaults, FREE, group, None)


def status_query(name):
    return op(name, STATUS_WORDS, master="get_coil", defaults=(None,))


def procedure(name, master=None):
    return op(name, p("direction", DIR), master=master)


def switch(name):
    return op(name, master="set_coil")


def query(name):
    return op(name, master="get_coil", returns="bool")


ROWS = [
    member("__init__", LIFECYCLE, defaults=(115200,)),
    member("close", LIFECYCLE, defaults=(False,)),
    member("__del__", LIFECYCLE),
    member("finding_o_method", PROPERTY),
    member("open", LIFECYCLE),
    op("set_ppmm", p("ppmm", ANY, "_Union[int, float]", 2)),
    op("ppmm"),
    op("to_pulse", p("value", F, sample=2.5)),
    op("from_pulse", p("value", ANY, None, 5)),
    switch("stop"),
    op("set_start_velocity", p("velocity", F), master="set_uint32"),
    op("set_velocity", p("velocity", F), master="set_uint32"),
    op("set_acceleration_time", p("time", F, sample=0.5), master="set_uint32"),
    op("set_parameters", p("start_velocity", F, sample=1.0), p("velocity", F, sample=2.0),
       p("acceleration_time", F, sample=0.5), master="set_multi_uint32"),
    op("set_absolute_target", p("target", F, None), master="set_int32"),
    op("set_relative_target", p("target", F, None), master="set_int32"),
    op("locate_absolutely", p("target", F), master="set_int32"),
    op("locate_relatively", p("target", OF), master="set_int32", defaults=(None,)),
    op("wait_for_locating_done", p("timeout", F), master="get_coil", defaults=(0.0,)),
    switch("run_positive"),
    switch("run_negative"),
    switch("enable_axis"),
    switch("disable_axis"),
    procedure("_find_o", master="set_coil"),
    op("status_words", master="get_multi_int32"),
    op("get_position", STATUS_WORDS, master="get_int32", defaults=(None,)),
    op("set_position", p("position", F), master="set_int32"),
    op("set_here_o", master="set_int32"),
    status_query("is_alarming"),
    status_query("is_running"),
    status_query("at_o"),
    status_query("at_positive_limit"),
    status_query("at_negative_limit"),
    status_query("at_emergency"),
    op("get_stop_source", master="get_int32", returns="StopSource"),
    op("get_coil", p("name", STR), master="get_coil"),
    op("set_coil", p("name", STR), p("value", ANY, "bool", True), master="set_coil"),
    op("get_coil_uint16", p("name", STR, sample="WR0"), master="get_coil_uint16"),
    op("set_coil_uint16", p("name", STR, sample="WR0"), p("value", INT), master="set_coil_uint16"),
    procedure("_KOVAxisController__find_o_stage_0", master="get_coil"),
    procedure("_find_o_thread_func"),
    procedure("_find_o_origin_only"),
    procedure("_find_o_thread_func_limit_first_then_backward"),
    op("find_o", p("start_velocity", F, sample=5.0), p("velocity", F, sample=20.0),
       p("acceleration_time", F, sample=0.2), p("direction", DIR), master="get_coil",
       defaults=("Negative",), returns=FREE, group=HOMING),
    op("is_finding_o", returns=FREE, group=HOMING),
    op("wait_for_find_o_finish", p("timeout", OF, sample=None), defaults=(None,),
       returns=FREE, group=HOMING),
    op("origin_rising_valid", p("value", ANY, "bool", True), master="set_coil"),
    switch("disable_negative_limit"),
    switch("enable_negative_limit"),
    query("negative_limit_is_disabled"),
    switch("disable_positive_limit"),
    # The one operation whose station is named otherwise, unannotated and unchecked.
    Row("enable_positive_limit", (p("axis", ANY, None, 1),), (), None, OPERATION, "set_coil"),
    query("positive_limit_is_disabled"),
    switch("disable_alarm"),
    switch("enable_alarm"),
    query("alarm_is_disabled"),
    switch("disable_emergency"),
    switch("enable_emergency"),
    query("emergency_is_disabled"),
    op("reverse_direction_output", p("value", ANY, "bool", False), master="set_coil",
       defaults=(True,)),
]

BY_NAME = {row.name: row for row in ROWS}

# Class members in definition order; the functions among them.
MEMBERS = [row.name for row in ROWS]
METHODS = [row.name for row in ROWS if row.group != PROPERTY]
# The operations with a fixed parameter list (everything but lifecycle and property).
OPERATIONS = [row for row in ROWS if row.group in (OPERATION, HOMING)]


def annotations(row):
    """The parameter annotations of `row`, with its return annotation when fixed."""
    found = {prm.name: prm.annotation for prm in row.params if prm.annotation is not None}
    if row.returns not in (None, FREE):
        found["return"] = row.returns
    return found


def sample_values(row, kov):
    """(name, value) of a valid argument list of `row`, in parameter order."""
    return [
        (prm.name, getattr(kov.Direction, prm.sample) if prm.kind == DIR else prm.sample)
        for prm in row.params
    ]


def defaults(row, kov):
    """The defaults of `row`, with Direction members resolved."""
    return tuple(getattr(kov.Direction, d) if d == "Negative" else d for d in row.defaults)
