#!/usr/bin/env python3
"""Writes many.umockdev: 70 emulated USB devices, more than the inventory keeps.

Five buses, each a root hub with 13 devices on ports 2 to 14, so that every
bus id is distinct and each device has its own product id (0x0100 + n).
Run from this folder: python3 make_many.py > many.umockdev
"""
import struct

SYS = "/devices/pci0000:00/0000:00:14.0"
BUSES = 5
PORTS = range(2, 15)


def descriptors(dev_class, vid, pid, bcd_usb, iface_class):
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, bcd_usb, dev_class, 0, 0, 64,
                         vid, pid, 0x0100, 1, 2, 0, 1)
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 0, iface_class, 0, 0, 0)
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(interface), 1, 1, 0, 0x80, 50)
    return (device + config + interface).hex().upper()


def block(path, bus, devnum, speed, hexdesc, vid, pid):
    node = f"{bus:03d}/{devnum:03d}"
    return "\n".join([
        f"P: {path}",
        f"N: bus/usb/{node}={hexdesc}",
        f"E: DEVNAME=/dev/bus/usb/{node}",
        "E: DEVTYPE=usb_device",
        "E: DRIVER=usb",
        "E: SUBSYSTEM=usb",
        f"E: BUSNUM={bus:03d}",
        f"E: DEVNUM={devnum:03d}",
        f"A: busnum={bus}",
        f"A: devnum={devnum}",
        f"A: speed={speed}",
        "A: bConfigurationValue=1",
        f"A: idVendor={vid:04x}",
        f"A: idProduct={pid:04x}",
        f"H: descriptors={hexdesc}",
    ]) + "\n"


def main():
    blocks = []
    n = 0
    for bus in range(1, BUSES + 1):
        root = f"{SYS}/usb{bus}"
        blocks.append(block(root, bus, 1, 480, descriptors(9, 0x1d6b, 2, 0x0200, 9), 0x1d6b, 2))
        for port in PORTS:
            pid = 0x0100 + n
            n += 1
            blocks.append(block(f"{root}/{bus}-{port}", bus, port, 12,
                                descriptors(0xff, 0x16c0, pid, 0x0200, 0xff), 0x16c0, pid))
    print("\n".join(blocks), end="")


if __name__ == "__main__":
    main()
