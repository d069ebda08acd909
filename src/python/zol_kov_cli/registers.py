"""kov read, kov write: raw registers and coils, for checking a module's settings."""

import argparse
import re

from . import common

# The address kinds, as MewMaster spells them.
DATA = re.compile(r"^DT?\d+$")  # DT<n> / D<n>: a 32-bit value in registers n, n+1
COIL = re.compile(r"^[RXY]\d+$")  # one relay, input or output
WORD = re.compile(r"^W[RXY]\d+$")  # 16 of them
ADDRESSES = "DT<n> (32-bit value in registers n, n+1), R<n>/X<n>/Y<n> (a coil), " \
    "WR<n>/WX<n>/WY<n> (16 coils)"


def add_parser(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    read = subparsers.add_parser(
        "read", parents=[common.line_options()],
        help="read a register or coil (reads it only)",
        description="Read one address of a station and print it: " + ADDRESSES + ". With "
        "--count, that many 32-bit values from DT<n> on, in one transfer.")
    read.add_argument("--station", "-s", type=common.station, required=True)
    read.add_argument("address", type=str.upper, help="e.g. DT20, R12, X0, WX0")
    read.add_argument("--count", type=int, default=1, choices=range(1, 17), metavar="1..16",
                      help="32-bit values to read from a DT address (default: 1)")
    read.set_defaults(func=run_read)

    write = subparsers.add_parser(
        "write", parents=[common.line_options()],
        help="write a register or coil (that one write)",
        description="Write one address of a station: " + ADDRESSES + ". A value of a DT "
        "address is written as a 32-bit value (negative as two's complement); a coil takes "
        "0/1/on/off. Setting a command relay (R0..R6, also through WR0) stops or starts a "
        "motion: asks first unless --yes.")
    write.add_argument("--station", "-s", type=common.station, required=True)
    write.add_argument("address", type=str.upper, help="e.g. DT0, R12, Y2, WR1")
    write.add_argument("value", help="a number (0x.. for hex) or, for a coil, on/off")
    common.add_confirmation(write)
    write.set_defaults(func=run_write)


def run_read(args: argparse.Namespace) -> int:
    address = args.address
    if not (DATA.match(address) or COIL.match(address) or WORD.match(address)):
        raise common.UsageError("unknown address %r: give %s" % (address, ADDRESSES))
    if args.count != 1 and not DATA.match(address):
        raise common.UsageError("--count needs a DT address")
    with common.open_master(args) as master:
        if DATA.match(address):
            values = master.get_multi_int32(args.station, address, args.count)
            number = int(address.lstrip("DT"))
            for index, value in enumerate(values):
                print("DT%d = %d (0x%08x)" % (number + 2 * index, value, value & 0xFFFFFFFF))
        elif COIL.match(address):
            print("%s = %d" % (address, master.get_coil(args.station, address)))
        else:
            word = master.get_coil_uint16(args.station, address)
            print("%s = %d (0x%04x, bits %s)" % (address, word, word, format(word, "016b")))
    return 0


def parse_value(address: str, text: str) -> int:
    words = {"on": 1, "off": 0, "true": 1, "false": 0}
    try:
        if COIL.match(address) and text.lower() in words:
            return words[text.lower()]
        return int(text, 0)
    except ValueError:
        raise common.UsageError("not a value for %s: %r" % (address, text))


def starts_or_stops(address: str, value: int) -> bool:
    """Whether the write sets one of the command relays R0..R6."""
    if address == "WR0":
        return value & 0x7F != 0
    relay = re.match(r"^R(\d+)$", address)
    return bool(relay and int(relay.group(1)) <= 6 and value)


def run_write(args: argparse.Namespace) -> int:
    address = args.address
    value = parse_value(address, args.value)
    if not (DATA.match(address) or COIL.match(address) or WORD.match(address)):
        raise common.UsageError("unknown address %r: give %s" % (address, ADDRESSES))
    if COIL.match(address) and value not in (0, 1):
        raise common.UsageError("a coil takes 0 or 1, on or off")
    if starts_or_stops(address, value):
        common.confirm(args, "Write %s = %s on station %d (a motion command)" % (
            address, args.value, args.station))
    with common.open_master(args) as master:
        if DATA.match(address):
            if value < 0:
                master.set_int32(args.station, address, value)
            else:
                master.set_uint32(args.station, address, value)
        elif COIL.match(address):
            master.set_coil(args.station, address, value)
        else:
            master.set_coil_uint16(args.station, address, value)
    print("%s = %s written to station %d" % (address, args.value, args.station))
    return 0
