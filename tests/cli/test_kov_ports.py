"""`kov ports` against a sysfs and /dev tree made here, laid out as the kernel and udev lay
out USB serial adapters (ttyUSB on an interface, ttyACM as the interface), a native UART,
an empty UART slot and a virtual console."""

import re

import pytest

import zol_kov_cli
from zol_kov_cli import ports

USB = "devices/pci0000:00/0000:00:14.0/usb1"
# name: where its device directory is, what the tree holds, and the row `kov ports` prints.
PORTS = {
    "ttyUSB0": dict(
        device=USB + "/1-1/1-1:1.0/ttyUSB0", usb=USB + "/1-1", latency="16",
        ids=("0403", "6001", "FTDI", "FT232R USB UART", "A10K1234"),
        by_id="usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0",
        row=("0403:6001", "A10K1234", "16 ms", "FTDI FT232R USB UART"),
    ),
    "ttyACM0": dict(
        device=USB + "/1-2/1-2:1.0", usb=USB + "/1-2",
        ids=("2e8a", "000a", "Raspberry Pi", "Pico", "E6605838"),
        by_id="usb-Raspberry_Pi_Pico_E6605838-if00",
        row=("2e8a:000a", "E6605838", "-", "Raspberry Pi Pico"),
    ),
    "ttyS0": dict(device="devices/pnp0/00:01", type="4", row=("-", "-", "-", "native UART")),
    "ttyS1": dict(device="devices/platform/serial8250", type="0"),  # no UART there: hidden
    "tty0": dict(),  # a virtual console: no device, hidden
}


def make_tree(root, names):
    sys_root, dev_root = root / "sys", root / "dev"
    (sys_root / "class" / "tty").mkdir(parents=True)
    (dev_root / "serial" / "by-id").mkdir(parents=True)
    for name in names:
        port = PORTS[name]
        tty = sys_root / port.get("device", "devices/virtual") / "tty" / name
        tty.mkdir(parents=True)
        (sys_root / "class" / "tty" / name).symlink_to(tty)
        if "device" in port:
            (tty / "device").symlink_to("../..")
        if "type" in port:
            (tty / "type").write_text(port["type"] + "\n")
        if "latency" in port:
            (sys_root / port["device"] / "latency_timer").write_text(port["latency"] + "\n")
        if "usb" in port:
            files = ("idVendor", "idProduct", "manufacturer", "product", "serial")
            for file, text in zip(files, port["ids"]):
                (sys_root / port["usb"] / file).write_text(text + "\n")
            (dev_root / "serial" / "by-id" / port["by_id"]).symlink_to("../../" + name)
    return sys_root, dev_root


@pytest.fixture
def kov_ports(tmp_path, monkeypatch, capsys):
    """kov_ports(names) -> (exit status, stdout lines, stderr lines) of `kov ports`
    run on a tree holding the ports `names`."""

    def run(names, tree=True):
        if tree:
            sys_root, dev_root = make_tree(tmp_path, names)
            monkeypatch.setattr(ports, "SYS_ROOT", str(sys_root))
            monkeypatch.setattr(ports, "DEV_ROOT", str(dev_root))
        status = zol_kov_cli.main(["ports"])
        out, err = capsys.readouterr()
        return status, out.splitlines(), err.splitlines()

    return run


def test_every_port_one_line_with_its_stable_name_ids_and_latency(kov_ports, tmp_path):
    status, out, err = kov_ports(PORTS)
    assert status == 0
    assert re.split(r"\s{2,}", out[0]) == list(ports.HEADER)
    shown = [name for name in sorted(PORTS, key=ports._natural) if "row" in PORTS[name]]
    expected = []
    for name in shown:
        by_id = PORTS[name].get("by_id")
        stable = str(tmp_path / "dev" / "serial" / "by-id" / by_id) if by_id else "-"
        expected.append([str(tmp_path / "dev" / name), stable, *PORTS[name]["row"]])
    assert [re.split(r"\s{2,}", line) for line in out[1:]] == expected
    assert len(err) == 1 and "latency timer above 1 ms" in err[0]


@pytest.mark.parametrize(
    "names, lines, said",
    [(["tty0", "ttyS1"], 0, "no serial ports found"), (["ttyS0"], 2, "no USB serial adapter found")],
)
def test_without_an_adapter_it_says_so(kov_ports, names, lines, said):
    status, out, err = kov_ports(names)
    assert (status, len(out), err) == (0, lines, [said])


def test_a_machine_without_sysfs_is_one_clear_line(kov_ports, tmp_path, monkeypatch):
    monkeypatch.setattr(ports, "SYS_ROOT", str(tmp_path / "nothing"))
    status, out, err = kov_ports([], tree=False)
    assert (status, out, len(err)) == (1, [], 1)
    assert err[0].startswith("kov ports: cannot list the serial ports:")
