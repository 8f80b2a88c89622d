#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""relka and relkactl against the kernel's own 8250 driver (test kernel.8250).

The 8250 machine of the kernel tests' runner (kernel_vm.py): Debian's cloud
kernel under QEMU (TCG), whose /init (init.sh) runs the cases against the
VM's ttyS1. What reached the UART comes from QEMU's trace of I/O writes:
kernel_uart_trace cuts it into the cases the VM marked on the debug console
and decodes each case's modem-line changes with relka's frame decoder. The
facts the VM noted (exit statuses, output, the lock folder, stty's settings)
come from the debug console's file.
"""

import re
import sys

from kernel_vm import Checks, main

TEST = "kernel.8250"


class Machine8250:
    """relka and relkactl against the kernel's own 8250 driver."""

    TEST = TEST
    KERNEL_META = "linux-image-cloud-amd64"
    KERNEL_NAME = "vmlinuz"
    MODULES = ()
    OPTIONS = ()
    TRACE_EVENTS = ["memory_region_ops_write"]

    @staticmethod
    def devices(files):
        return ["-serial", "null"]  # ttyS1

    @staticmethod
    def programs(args):
        return {}

    @staticmethod
    def run_checks(cases, notes, summary):
        checks, broken, races = run_checks(cases, notes, summary)
        return checks, f"{broken} of {races} race cases with broken frames"


def run_checks(cases, notes, summary):
    c = Checks(cases, notes)

    c.frame_table("/dev/ttyS1")

    name = "relka.probe"
    c.begin(name, "relka -q -d /dev/ttyS1 (no mask): the open and close only")
    c.status(name, 0)
    c.frames(name, [])
    c.check(name, "every change is the driver's open or close",
            all(ch["cause"] != "write" for ch in c.window(name)["changes"]))
    c.lock_folder(name)

    name = "relka.stale_lock"
    c.begin(name, "a lock file of a dead pid is taken over")
    c.status(name, 0)
    c.frames(name, [(2, 5)])
    c.lock_folder(name)

    for name, what in (("relka.live_lock", "relka -d /dev/ttyS1"),
                       ("link.live_lock", "relka -d /dev/relka-link")):
        c.begin(name, f"a lock file of a live pid refuses {what}")
        c.status(name, 255)
        c.check(name, "no frame", not c.window(name)["frames"])
        c.check(name, "LCK..ttyS1 left in place unchanged",
                c.note(name, "lock_kept") == "yes")
        c.lock_folder(name, "LCK..ttyS1")

    name = "link.stale_lock"
    c.begin(name, "relka -d /dev/relka-link (-> ttyS1) takes over a stale "
            "LCK..ttyS1")
    c.status(name, 0)
    c.frames(name, [(4, 9)])
    c.lock_folder(name)

    for name, what in (("stty.default", "the default settings"),
                       ("stty.changed", "19200 cs7 parenb -hupcl")):
        before = c.same_settings(name, what, "/dev/ttyS1")
        if name == "stty.changed":
            words = set(re.split(r"[\s;]+", before))
            c.check(name, "the settings were 19200 cs7 parenb -hupcl",
                    {"19200", "cs7", "parenb", "-hupcl"} <= words)

    for name, command, mask in (("ctl.set0", "set 0", 0x00),
                                ("ctl.on3", "on 3", 0x04),
                                ("ctl.on1", "on 1", 0x05),
                                ("ctl.off3", "off 3", 0x01)):
        c.begin(name, f"relkactl -d /dev/ttyS1 {command}")
        c.status(name, 0)
        c.frames(name, [(0, mask)])
        c.lock_folder(name)
    name = "ctl.status"
    c.begin(name, "relkactl -d /dev/ttyS1 status")
    c.status(name, 0)
    c.check(name, "no frame", not c.window(name)["frames"])
    out = c.note(name, "stdout", "").splitlines()
    c.check(name, "prints outlet 1: on and outlet 3: off",
            "outlet 1: on" in out and "outlet 3: off" in out)

    # A refused run while the line is held leaves it alone.
    for name, what, expected in (
            ("held.relka", "relka -q -d /dev/ttyS1, refused", 255),
            ("held.relkactl", "relkactl --wait 0.3 -d /dev/ttyS1 on 1, "
             "gives up", 4)):
        c.begin(name, f"line held (live pid in LCK..ttyS1): {what}")
        c.status(name, expected)
        changes = c.window(name)["changes"]
        c.check(name, f"no change of the modem lines (got {len(changes)})",
                not changes)

    runs = {1: (2, 5), 2: (3, 6)}
    race_cases = sorted((n for n in cases if n.startswith("race.")),
                        key=lambda n: int(n.split(".")[1]))
    broken = 0
    for name in race_cases:
        window = c.window(name)
        statuses = {run: c.note(name, f"status.{run}") for run in runs}
        c.begin(name, "relka -a 2 -s 5 and relka -a 3 -s 6 started together "
                f"(statuses {statuses[1]}, {statuses[2]})")
        got = [(f["box_address"], f["data"]) for f in window["frames"]]
        if window["faults"]:
            broken += 1
        c.check(name, f"every frame intact ({len(window['faults'])} "
                "decoder faults)", not window["faults"])
        c.check(name, "only the two runs' frames, each at most once",
                all(got.count(f) <= 1 for f in runs.values())
                and set(got) <= set(runs.values()))
        for run, frame in runs.items():
            if statuses[run] == "0":
                c.check(name, f"run {run} exited 0 and its frame (box "
                        f"{frame[0]} mask 0x{frame[1]:02x}) is there",
                        frame in got)
        c.lock_folder(name)
    rounds = c.note("race", "rounds")
    c.begin("race", f"{rounds} rounds of two runs")
    c.check("race", f"every round in the trace (got {len(race_cases)})",
            rounds is not None and len(race_cases) == int(rounds),
            show=False)

    name = "toggle.set0"
    c.begin(name, "relkactl set 0 before the toggles")
    c.status(name, 0)
    c.frames(name, [(0, 0)])
    name = "toggle.8"
    c.begin(name, "eight relkactl --wait 10 toggle N (N=1..8) at once")
    window = c.window(name)
    statuses = [c.note(name, f"status.{n}") for n in range(1, 9)]
    c.check(name, f"all exit 0 (got {' '.join(map(str, statuses))})",
            statuses == ["0"] * 8)
    masks = [f["data"] for f in window["frames"]]
    c.check(name, f"eight intact frames (got {len(masks)} frames, "
            f"{len(window['faults'])} faults)",
            len(masks) == 8 and not window["faults"]
            and all(f["box_address"] == 0 for f in window["frames"]))
    c.check(name, "each frame switches one more outlet on, the last 0xff",
            len(masks) == 8 and masks[-1] == 0xff
            and all(bin(m).count("1") == i + 1 and
                    (i == 0 or m & masks[i - 1] == masks[i - 1])
                    for i, m in enumerate(masks)))
    c.check(name, "nothing on their standard error",
            all(c.note(name, f"stderr.{n}") == "" for n in range(1, 9)))
    c.lock_folder(name)
    name = "toggle.status"
    c.begin(name, "relkactl status after the toggles")
    out = c.note(name, "stdout", "").splitlines()
    c.check(name, "all eight outlets on",
            all(f"outlet {n}: on" in out for n in range(1, 9)))

    name = "unknown.refused"
    c.begin(name, "relkactl on 2 with the state unknown: refused, line "
            "untouched")
    c.status(name, 3)
    writes = c.window(name).get("mcr_writes")
    c.check(name, f"no write of the modem-control register (got {writes})",
            writes == 0)

    name = "cycle.waiter"
    c.begin(name, "relkactl on 1 while another run's cycle holds outlet 1 "
            "off: waits on the state, then sends its own frame")
    c.status(name, 0)
    c.frames(name, [(0, 0x01), (0, 0x01)])
    opens = [ch for ch in c.window(name)["changes"]
             if ch["cause"] == "open"]
    c.check(name, f"two opens: the cycle's back-on and the waiter's own "
            f"(got {len(opens)})", len(opens) == 2)
    c.check(name, "nothing on its standard error",
            c.note(name, "stderr") == "")

    name = "relka.records"
    c.begin(name, "relka -q -d /dev/ttyS1 -s 255")
    c.status(name, 0)
    c.frames(name, [(0, 0xff)])
    name = "relka.status"
    c.begin(name, "relkactl status after relka's frame")
    c.status(name, 0)
    c.check(name, "no frame", not c.window(name)["frames"])
    out = c.note(name, "stdout", "").splitlines()
    c.check(name, "all eight outlets on, as relka set them",
            all(f"outlet {n}: on" in out for n in range(1, 9)))

    name = "wire"
    c.begin(name, "no byte ever sent on ttyS1's data output")
    sent = sum(len(w["data_bytes"]) for w in cases.values()) + len(
        summary.get("outside_data_bytes", []))
    c.check(name, f"no write of the transmit register with DLAB clear "
            f"(got {sent})", sent == 0, show=False)
    c.end()
    return c, broken, len(race_cases)


if __name__ == "__main__":
    sys.exit(main(Machine8250))
