#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""relka, relkactl and relkad against the kernel's ftdi_sio (test kernel.ftdi).

The FTDI machine of the kernel tests' runner (kernel_vm.py): Debian's generic
kernel under QEMU (TCG) with QEMU's usb-serial adapter (an FT232 with our
serial number) on an xHCI controller; /init (init_ftdi.sh) loads the USB
modules and runs the cases. What reached the adapter comes from QEMU's trace
of its control requests: every modem-control request and modem-status read
is a USB control transfer, so the trace also tells what a frame cost. The
host pulls the adapter out and plugs it back through QEMU's monitor (QMP)
when the VM asks, and pulls it in the middle of a frame by watching the
trace.
"""

import json
import re
import socket
import sys
import time

from kernel_vm import Checks, main

TEST = "kernel.ftdi"
SERIAL = "RELKA0001"
BY_ID = f"/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_{SERIAL}-if00-port0"
RELKA_REQUESTS = 120   # a read-modify-write per change
KEPT_REQUESTS = 61     # the word read once, one write per change


class Monitor:
    """QEMU's QMP socket: one command at a time, events skipped."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(10)
        self.sock.connect(path)
        self.lines = self.sock.makefile("rw")
        self.lines.readline()  # the greeting
        self.command("qmp_capabilities")

    def reply(self):
        while True:
            answer = json.loads(self.lines.readline())
            if "event" not in answer:
                return answer

    def command(self, name, **arguments):
        self.lines.write(json.dumps({"execute": name,
                                     "arguments": arguments}) + "\n")
        self.lines.flush()
        answer = self.reply()
        if "error" in answer:
            print(f"{TEST}: QMP {name}: {answer['error']}")
        return answer

    def close(self):
        self.sock.close()


class TraceTail:
    """The trace as it grows: the debug console's lines and the adapter's
    modem-control requests, in the order QEMU logged them."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = ""
        self.mark = ""

    def read(self, on_mark, on_modem_write):
        try:
            with open(self.path, errors="replace") as trace:
                trace.seek(self.offset)
                text = trace.read()
                self.offset = trace.tell()
        except FileNotFoundError:
            return
        lines = (self.rest + text).split("\n")
        self.rest = lines.pop()
        for line in lines:
            if "got control 0x4001," in line:
                on_modem_write()
            elif "addr 0xe9 " in line:
                byte = int(re.search(r" value 0x([0-9a-f]+)", line).group(1),
                           16)
                if byte != 10:
                    self.mark += chr(byte)
                else:
                    on_mark(self.mark)
                    self.mark = ""


class MachineFtdi:
    """relka, relkactl and relkad against the kernel's ftdi_sio."""

    TEST = TEST
    KERNEL_META = "linux-image-amd64"
    KERNEL_NAME = "vmlinuz-generic"
    MODULES = ("xhci_pci", "ftdi_sio")
    OPTIONS = ("relkad",)
    TRACE_EVENTS = ["memory_region_ops_write", "usb_serial_handle_control"]

    def __init__(self):
        self.monitor = None
        self.plugs = 0
        self.tail = None
        self.cut_after = None  # requests left before the pull, once armed

    def devices(self, files):
        return ["-device", "qemu-xhci,id=xhci",
                "-qmp", f"unix:{files['qmp']},server=on,wait=off"] + \
            self.adapter_args()

    def adapter_args(self):
        return ["-chardev", "null,id=ftdi0", "-device",
                "usb-serial,id=adapter0,bus=xhci.0,chardev=ftdi0,"
                f"always-plugged=on,serial={SERIAL}"]

    def programs(self, args):
        return {"relkad": args.relkad} if args.relkad else {}

    def qmp(self, files):
        if self.monitor is None:
            self.monitor = Monitor(files["qmp"])
        return self.monitor

    # A device pulled while the guest still has a transfer queued on it
    # (an open ttyUSB reads all the time) is finished off only when that
    # ends: each plug is a new device, with a new name and chardev, and
    # the VM, not the host, waits for the adapter to go.
    def unplug(self, files):
        self.qmp(files).command("device_del", id=f"adapter{self.plugs}")

    def host(self, words, files):
        if words == ["unplug"]:
            self.unplug(files)
        elif words == ["plug"]:
            self.plugs += 1
            chardev = f"ftdi{self.plugs}"
            monitor = self.qmp(files)
            monitor.command("chardev-add", id=chardev,
                            backend={"type": "null", "data": {}})
            monitor.command("device_add", driver="usb-serial",
                            id=f"adapter{self.plugs}", bus="xhci.0",
                            chardev=chardev,
                            **{"always-plugged": True, "serial": SERIAL})

    def poll(self, files):
        """A "host cut N" in the trace pulls the adapter after the N-th
        modem-control request that follows it. True while armed: the
        frame lasts milliseconds."""
        if self.tail is None:
            self.tail = TraceTail(files["trace"])

        def on_mark(text):
            if text.startswith("host cut "):
                self.cut_after = int(text.split()[2])

        def on_modem_write():
            if self.cut_after is None:
                return
            self.cut_after -= 1
            if self.cut_after == 0:
                self.cut_after = None
                self.unplug(files)
        self.tail.read(on_mark, on_modem_write)
        return self.cut_after is not None

    def close(self):
        if self.monitor is not None:
            self.monitor.close()

    def run_checks(self, cases, notes, summary):
        return run_checks(cases, notes)


def requests(c, name):
    window = c.window(name)
    return window["modem_writes"] + window["modem_reads"]


def open_and_close(c, name):
    """The frame leaves RTS high: the last close is what drops it."""
    window = c.window(name)
    changes = window["changes"]
    frame_end = max([f["last_change"] for f in window["frames"]] + [0])
    c.check(name, "the open raises both lines and the last close drops them",
            len(changes) > frame_end + 1 and changes[0]["cause"] == "open"
            and not changes[-1]["dtr"] and not changes[-1]["rts"])


def frame_cost(c, name, baseline, most, exactly=False):
    """Requests beyond those of an open and close alone."""
    cost = requests(c, name) - baseline
    c.check(name, f"the frame cost {cost} requests "
            + (f"(exactly {most})" if exactly else f"(at most {most})"),
            cost == most if exactly else cost <= most)
    return cost


def run_checks(cases, notes):
    c = Checks(cases, notes)
    baseline = requests(c, "relka.probe")
    costs = {}
    # relkad switches outlet 8 on before the pull, where it is built.
    relkad = c.note("setup", "relkad") != "none"
    if not relkad:
        print("relkad: not built, its cases not run")
    eight = 0x80 if relkad else 0

    name = "relka.probe"
    c.begin(name, "relka -q -d /dev/ttyUSB0 (no mask): the open and close only")
    c.status(name, 0)
    c.frames(name, [])
    c.check(name, "only the driver's open and close",
            [ch["cause"] for ch in c.window(name)["changes"]]
            == ["open", "close"])
    c.lock_folder(name)

    def relka_cost(name):
        open_and_close(c, name)
        costs["relka"] = frame_cost(c, name, baseline, RELKA_REQUESTS, True)
    c.frame_table("/dev/ttyUSB0", relka_cost)

    for name, what in (("stty.default", "the default settings"),
                       ("stty.19200", "19200 cs7 parenb -hupcl")):
        c.same_settings(name, what, "/dev/ttyUSB0")

    ctl = (("ctl.set0", "-d /dev/ttyUSB0 set 0", 0x00),
           ("ctl.on3", "-d /dev/ttyUSB0 on 3", 0x04),
           ("ctl.on1", "-d /dev/ttyUSB0 on 1", 0x05),
           ("ctl.off3", "-d /dev/ttyUSB0 off 3", 0x01),
           ("ctl.byid", "-d BY-ID set 0x0f", 0x0f),
           ("replug.on3", "-d BY-ID on 3, back as ttyUSB1, from the "
            "adapter's own state", 0x0f | eight),
           ("replug.set", "-d BY-ID set 0x30, back as ttyUSB1", 0x30),
           ("replug.off5", "-d BY-ID off 5, back as ttyUSB1", 0x20))
    for name, command, mask in ctl:
        c.begin(name, f"relkactl {command}")
        c.status(name, 0)
        c.frames(name, [(0, mask)])
        open_and_close(c, name)
        costs["relkactl"] = frame_cost(c, name, baseline, KEPT_REQUESTS)
        c.lock_folder(name)
    c.check("replug.on3", "the adapter came back as ttyUSB1",
            c.note("replug", "by_id") == "ttyUSB1")

    for name, on in (("ctl.byid_status", [1, 2, 3, 4]),
                     ("pull.status", [1, 2, 4] + ([8] if relkad else []))):
        c.begin(name, f"relkactl -d BY-ID status"
                + (", while unplugged" if name == "pull.status" else ""))
        out = c.note(name, "stdout", "").splitlines()
        c.check(name, f"outlets {on} on, the others off",
                all((f"outlet {n}: on" if n in on else f"outlet {n}: off")
                    in out for n in range(1, 9)))

    name = "pull.cycle"
    c.begin(name, "relkactl -d BY-ID cycle 3, the adapter pulled in the pause")
    c.status(name, 255)
    c.frames(name, [(0, 0x0b | eight)])
    err = c.note(name, "stderr", "")
    c.check(name, "says the adapter went away and outlet 3 stays off",
            "went away" in err and "outlet 3 stays off" in err)
    c.lock_folder(name)

    for name, http, frames in (("relkad.before", "200", [(0, 0x8f)]),
                               ("relkad.gone", "502", []),
                               ("relkad.back", "200", [(0, 0x21)])):
        if not relkad:
            continue
        c.begin(name, f"relkad: PUT /outlet/b0/N answers {http}")
        c.check(name, f"HTTP {http} (got {c.note(name, 'http')})",
                c.note(name, "http") == http)
        c.frames(name, frames)
        if frames:
            costs["relkad"] = frame_cost(c, name, baseline, KEPT_REQUESTS)
        c.lock_folder(name)

    # The pull takes the host a few milliseconds, about as long as the
    # frame: where it lands is told, and a run that ended before it is not
    # checked.
    name = "cut.frame"
    c.begin(name, "relkactl -d BY-ID set 0xaa, the adapter pulled after the "
            "open's request and the frame's third")
    window = c.window(name)
    changes = len(window["changes"])
    if c.note(name, "status") == "0":
        print("  (the pull came after the frame: not checked)")
    else:
        print("  (" + (f"the frame was cut after {changes} changes"
                       if not window["frames"] else
                       "the frame went out whole, a later request failed")
              + ")")
        c.status(name, 1)
        c.check(name, "says the adapter went away in the middle of the frame",
                "went away in the middle of the frame" in
                c.note(name, "stderr", ""))
        c.lock_folder(name)
        out = c.note("cut.status", "stdout", "")
        c.check(name, f"the state is unknown afterwards (status: {out!r})",
                "unknown" in out)
    c.end()
    return c, "requests per frame: " + ", ".join(
        f"{program} {cost}" for program, cost in costs.items())


if __name__ == "__main__":
    sys.exit(main(MachineFtdi()))
