"""kov ports: the serial ports of this machine, one per line, with their stable names.

For each port: its device, the stable name udev gives it under /dev/serial/by-id (the
name to open: it survives replugging and does not depend on the order of detection),
the USB vendor and product ids, the serial number, the adapter's latency timer, and
what it is. Read from sysfs; nothing is opened, so ports in use are listed too.

Why not pyserial's list_ports: it gives neither the by-id name nor the latency timer,
hides the native UARTs of single-board computers (platform devices, where RS-485
transceivers sit), and reads fixed /dev and /sys paths, so its listing could not be
tested against a made-up tree.
"""

import argparse
import os
import re
import sys
from typing import Dict, List, NamedTuple, Optional

from . import common

# Where the kernel's device tree and the device nodes are; tests point these elsewhere.
SYS_ROOT = "/sys"
DEV_ROOT = "/dev"


class SerialPortInfo(NamedTuple):
    device: str  # /dev/ttyUSB0
    stable_name: Optional[str]  # /dev/serial/by-id/usb-..., None where udev makes none
    usb_id: Optional[str]  # "0403:6001" (vendor:product), None for a port that is not USB
    serial_number: Optional[str]
    latency_timer: Optional[int]  # milliseconds; None where the kernel exposes none
    description: str


def _read(directory: str, name: str) -> Optional[str]:
    try:
        with open(os.path.join(directory, name), encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except OSError:
        return None


def _natural(name: str) -> List[object]:
    # ttyS2 before ttyS10
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def _by_id_names(dev_root: str) -> Dict[str, str]:
    """tty name -> its link in <dev_root>/serial/by-id (the first, where there are more)."""
    directory = os.path.join(dev_root, "serial", "by-id")
    try:
        entries = sorted(os.listdir(directory))
    except OSError:
        return {}  # udev made none: no USB serial adapter, or no udev
    names: Dict[str, str] = {}
    for entry in entries:
        link = os.path.join(directory, entry)
        try:
            target = os.readlink(link)
        except OSError:
            continue
        names.setdefault(os.path.basename(target), link)
    return names


def _usb_device(device: str) -> Optional[str]:
    """The USB device directory above a tty's device: ttyUSB ports sit on an interface
    of the device, ttyACM ports are the interface itself."""
    directory = device
    for _ in range(3):
        if os.path.isfile(os.path.join(directory, "idVendor")):
            return directory
        directory = os.path.dirname(directory)
    return None


def _describe(tty: str, device: str, usb: Optional[str]) -> str:
    if usb is not None:
        words = [_read(usb, "manufacturer"), _read(usb, "product")]
        text = " ".join(w for w in words if w)
        return text or "USB serial adapter"
    if _read(tty, "type") is not None:  # serial core ports carry their UART type
        return "native UART"
    driver = os.path.join(device, "driver")
    return os.path.basename(os.path.realpath(driver)) if os.path.exists(driver) else "-"


def list_ports(sys_root: str = SYS_ROOT, dev_root: str = DEV_ROOT) -> List[SerialPortInfo]:
    """The serial ports under `sys_root` (sysfs) with their names under `dev_root`.

    Raises OSError when `sys_root` has no tty class to read."""
    tty_class = os.path.join(sys_root, "class", "tty")
    by_id = _by_id_names(dev_root)
    ports = []
    for name in sorted(os.listdir(tty_class), key=_natural):
        tty = os.path.join(tty_class, name)
        device = os.path.join(tty, "device")
        # Virtual consoles and pseudo-terminals have no device; an 8250 slot with no
        # UART behind it has type 0 (PORT_UNKNOWN).
        if not os.path.exists(device) or _read(tty, "type") == "0":
            continue
        device = os.path.realpath(device)
        usb = _usb_device(device)
        timer = _read(device, "latency_timer")
        ports.append(
            SerialPortInfo(
                device=os.path.join(dev_root, name),
                stable_name=by_id.get(name),
                usb_id=None if usb is None
                else "%s:%s" % (_read(usb, "idVendor"), _read(usb, "idProduct")),
                serial_number=None if usb is None else _read(usb, "serial"),
                latency_timer=int(timer) if timer is not None and timer.isdigit() else None,
                description=_describe(tty, device, usb),
            )
        )
    return ports


HEADER = ("PORT", "STABLE NAME", "USB ID", "SERIAL", "LATENCY", "DESCRIPTION")


def port_rows(ports: List[SerialPortInfo]) -> List[List[str]]:
    """One row per port under HEADER; "-" for what is not known."""
    rows = []
    for p in ports:
        latency = None if p.latency_timer is None else "%d ms" % p.latency_timer
        fields = (p.device, p.stable_name, p.usb_id, p.serial_number, latency, p.description)
        rows.append([f or "-" for f in fields])
    return rows


def run(args: argparse.Namespace) -> int:
    try:
        ports = list_ports(SYS_ROOT, DEV_ROOT)
    except OSError as e:
        print("kov ports: cannot list the serial ports: %s" % e, file=sys.stderr)
        return 1
    if not ports:
        print("no serial ports found", file=sys.stderr)
        return 0
    common.print_table(list(HEADER), port_rows(ports))
    if all(p.usb_id is None for p in ports):
        print("no USB serial adapter found", file=sys.stderr)
    elif any(p.latency_timer is not None and p.latency_timer > 1 for p in ports):
        print(
            "a latency timer above 1 ms delays every reply by up to that long; MewMaster "
            "asks for low-latency mode when it opens the port",
            file=sys.stderr,
        )
    return 0


def add_parser(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = subparsers.add_parser(
        "ports",
        help="list the serial ports with their stable names",
        description="List the serial ports of this machine, one per line: the device, its "
        "stable /dev/serial/by-id name (open that one: it survives replugging), the USB "
        "vendor:product ids, the serial number, the adapter's latency timer and what it "
        "is. Reads sysfs only; opens no port.",
    )
    parser.set_defaults(func=run)
