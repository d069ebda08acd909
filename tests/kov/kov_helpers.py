"""Shared expectations for the zol_kov tests: the operations' documentation strings and
small text builders. The parameter lists come from kov_table.py."""

import kov_table

ARGTYPE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def argtype(name, expected, got):
    return ARGTYPE % (name, expected, got)


def doc(*lines):
    """A documentation string: each line after a newline and two tabs (or (tabs, text)
    for an indented line, "" for an empty line), closed by a newline and two tabs."""
    text = ""
    for line in lines:
        tabs, line = line if isinstance(line, tuple) else (2, line)
        text += "\n" if line == "" else "\n" + "\t" * tabs + line
    return text + "\n\t\t"


STATION = ":param station: 电机控制模块的站号"

DOCS = {
    "set_parameters": doc(
        "设置梯形速度参数",
        ":param station: 电机控制模块站号",
        ":param start_velocity: 梯形速度曲线的起始速度。单位：mm/s",
        ":param velocity: 梯形速度曲线的匀速速度。单位：mm/s",
        ":param acceleration_time: 梯形速度曲线的加、减速时间。单位：s（秒）",
    ),
    "locate_absolutely": doc("执行绝对定位。", STATION, ":param target: 目标的绝对位置。单位：mm"),
    "locate_relatively": doc(
        "执行相对定位。如果不提供目标值，将使用之前提供的相对位移值，即重复执行一次相对位移量。",
        STATION,
        ":param target: 相对位移量。单位：mm",
    ),
    "wait_for_locating_done": doc(
        "等待定位完成",
        ":param station: 电机控制模块站号",
        ":param timeout: 等待超时参数。如果传入0，表示一直等；如果传入大于0的值，最多等待该值（单位：秒）。",
        (4, "如果等待超时，抛出 Timeout 异常。"),
        (4, "如果定位过程中碰到限位、急停等信号，将抛出 IOError。"),
    ),
    "run_positive": doc("向正方向一直前进，直到碰到正极限（如果正极限处于使能状态的话）", STATION),
    "enable_axis": doc("使能电机轴。使能后，电机将输出力矩。", STATION),
    "disable_axis": doc("禁能电机轴。禁能后，电机将关闭输出力矩，对应轴将处于松弛状态，可用手轻易推动。", STATION),
    "status_words": doc(
        "读取电机状态字。状态字是包含多个（目前是3个）32位整数的列表。",
        "status_words[0]: 当前位置。",
        "status_words[1]: 当前编码器位置。",
        "status_words[2]: 当前速度。",
        "status_words[3]: 低16位：当前输入状态，即 WX0；高16位：当前输出状态，即 WY0。",
        "status_words[4]: 低16位：停止来源；值对应的意义见 class StopSource。高16位：保留。",
        "注意：不排除以后扩展状态字中元素的个数。",
    ),
    "set_position": doc(
        "设置当前位置为制定坐标值。通常用于找原点后设置当前位置为原点坐标（0）。",
        ":param station: 电机控制模块站号。",
        ":param position: 坐标值。单位：mm",
    ),
    "set_here_o": doc("设置当前位置为坐标原点。", ":param station: 电机控制模块的站号。"),
    "is_alarming": doc(
        "判断电机轴是否在报警。",
        ":param station: 电机控制模块站号",
        ":param status_words: 电机状态字。如果提供了，将从状态字中提取报警状态；否则，从控制模块读取最新值",
        ":return: True 如果电机报警；否则，False",
    ),
    "is_running": doc(
        "判断电机轴当前是否正处于发脉冲运动状态。",
        STATION,
        ":param status_words: 电机状态字",
        ":return: True 如果正在发脉冲；否则，False",
    ),
    "origin_rising_valid": doc("设置原点检测信号是否上升沿触发。默认为下降沿触发。"),
    "disable_alarm": doc(
        "禁用指定轴的报警信号。禁用报警信号后，运动模块的 Alarm 引脚输入信号有效也不会停止发送脉冲。",
        ":param station: 控制电机轴的运动控制模块的站号",
    ),
    "enable_alarm": doc(
        "使能指定轴的报警信号。使能后，运动模块的 Alarm 引脚输入信号有效将使得运动控制模块停止发送脉冲。",
        ":param station: 控制电机轴的运动控制模块的站号",
    ),
    "disable_emergency": doc(
        "禁用急停信号。禁用后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）也不会停止发送脉冲。",
        ":param station: 控制电机轴的运动控制模块站号",
    ),
    "enable_emergency": doc(
        "使能急停信号。使能后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）将引起停止发送脉冲。",
        ":param station: 控制电机轴的运动控制模块站号",
    ),
    "reverse_direction_output": doc(
        "反相输出方向信号。",
        STATION,
        ":param value: 是否反相输出。True 为反相输出，False 为正常输出（默认）",
    ),
    "is_finding_o": doc(
        "当前轴是否在找原点过程中。如果是，返回 True；否则，返回 False",
        ":param station: 控制电机轴的运动控制模块的站号",
    ),
    "find_o": doc(
        "以指定的速度参数执行找原点动作。",
        "执行 find_o 函数，以寻找原点后，必须要在某个时间调用 wait_for_find_o_finish 函数以查询找原点的结果",
        "这是一个强制性的要求，以防止因为找原点失败而引起各种问题。",
        "wait_for_find_o_finish 的使用说明请参见其函数本体说明。",
        ":param station: 控制电机轴的运动控制模块的站号",
        ":param start_velocity: 梯形速度曲线的起始速度",
        ":param velocity: 梯形速度曲线匀速段的速度值",
        ":param acceleration_time: 梯形速度曲线加速段的时间跨度，单位：s（秒）",
        ":param direction: 找原点时开始运动的方向。如果往这个方向碰到了限位感应器，会自动往反方向继续找",
    ),
    "wait_for_find_o_finish": doc(
        "等待某轴找原点结束，并返回找原点的结果。有以下几种情况：",
        "1. 提供了一个有效的超时参数 timeout",
        (3, "1)找原点动作未能在超时前结束，函数返回 None"),
        (3, "2)在超时前顺利找到了原点，函数返回 True"),
        (3, "3)在超时前找原点动作已经结束，但没有找到原点，函数返回 False"),
        "2. 未提供 timeout 参数，或所提供参数是 None，等待，直到...",
        (3, "1)顺利找到了原点，返回 True"),
        (3, "2)两边限位都碰过了，没找到原点，返回 False"),
        (3, "3)以上两点都没有发生，将一直等待"),
        "",
        "找原点过程中可能引起异常的情况有：",
        "1. 通讯失败，无法获取轴状态",
        "2. 轴的报警信号输入有效",
        ":param station: 控制电机轴的运动控制模块的站号",
        ":param timeout: 等待的超时时间，单位：秒(second)",
    ),
}

# The operations without one (run_negative's text is checked on its own).
NO_DOC = [
    row.name for row in kov_table.OPERATIONS if row.name not in DOCS and row.name != "run_negative"
]

# Views of the one table, kept under the names the tests have always used.
MEMBERS = kov_table.MEMBERS
METHODS = kov_table.METHODS
ANNOTATIONS = {
    row.name: kov_table.annotations(row)
    for row in kov_table.OPERATIONS
    if row.returns is not kov_table.FREE
}
PARAM_ANNOTATIONS = {
    row.name: kov_table.annotations(row)
    for row in kov_table.OPERATIONS
    if row.returns is kov_table.FREE
}
DEFAULTS = {row.name: row.defaults for row in kov_table.ROWS if row.defaults and row.name != "find_o"}


def python_name(member):
    """The name a function defined under `member` in a class body carries."""
    prefix = "_KOVAxisController"
    return member[len(prefix):] if member.startswith(prefix + "__") else member


class Shown:
    """An object whose format() text differs from its str() and repr()."""

    def __format__(self, spec):
        return "<format %r>" % spec

    def __str__(self):
        return "<str>"

    __repr__ = __str__
