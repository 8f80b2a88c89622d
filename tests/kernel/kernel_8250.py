#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""relka and relkactl against the kernel's own 8250 driver (test kernel.8250).

Boots Debian's cloud kernel under QEMU (TCG) from a small initramfs whose
/init (init.sh) runs the cases against the VM's ttyS1, and reads what reached
the UART from QEMU's trace of I/O writes: kernel_uart_trace cuts it into the
cases the VM marked on the debug console and decodes each case's modem-line
changes with relka's frame decoder. The facts the VM noted (exit statuses,
output, the lock folder, stty's settings) come from the debug console's file.

The kernel and busybox are Debian's packages, fetched with apt-get download
into the cache folder the first time and reused after that (remove the folder
to fetch again). Exits 77, ctest's skip, when QEMU or the packages cannot be
had, unless RELKA_REQUIRE is "all" or names "kernel".
"""

import argparse
import ctypes
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
BOOT_LIMIT = 90  # seconds; one boot with every case takes about 5
KERNEL_META = "linux-image-cloud-amd64"
TEST = "kernel.8250"


def required():
    words = os.environ.get("RELKA_REQUIRE", "").split()
    return "all" in words or "kernel" in words


def missing(what):
    if required():
        print(f"{TEST}: {what}; RELKA_REQUIRE asks for the kernel test")
        sys.exit(1)
    print(f"{TEST}: skipped: {what}")
    sys.exit(SKIP)


# --- the kernel and busybox, from Debian's packages -----------------------

def fetch(cache):
    """vmlinuz and busybox in `cache`, downloaded and unpacked if not there."""
    kernel = os.path.join(cache, "vmlinuz")
    busybox = os.path.join(cache, "busybox")
    if os.path.exists(kernel) and os.path.exists(busybox):
        return kernel, busybox
    for tool in ("apt-cache", "apt-get", "dpkg-deb"):
        if shutil.which(tool) is None:
            missing(f"{tool} is not installed: the kernel and busybox "
                    "packages cannot be fetched")
    # The metapackage names the real image package, which has the ABI in
    # its name.
    depends = subprocess.run(["apt-cache", "depends", KERNEL_META],
                             capture_output=True, text=True)
    found = re.search(r"Depends: (linux-image-\S+-cloud-amd64)\s",
                      depends.stdout)
    if found is None:
        missing(f"apt-cache cannot resolve {KERNEL_META} "
                "(no Debian package lists?)")
    packages = [found.group(1), "busybox-static"]
    os.makedirs(cache, exist_ok=True)
    for leftover in glob.glob(os.path.join(cache, "fetch.*")):
        shutil.rmtree(leftover, ignore_errors=True)  # of a run killed outright
    work = tempfile.mkdtemp(prefix="fetch.", dir=cache)
    try:
        command = ["apt-get", "download", "-q"] + packages
        if os.geteuid() == 0:
            # As root, apt would hand the download to _apt, which may not
            # write here; it then warns and downloads as root anyway.
            command[1:1] = ["-o", "APT::Sandbox::User=root"]
        print(f"{TEST}: fetching {' '.join(packages)} into {cache}")
        got = subprocess.run(command, cwd=work, capture_output=True,
                             text=True)
        if got.returncode != 0:
            missing(f"apt-get download {' '.join(packages)} failed: "
                    f"{got.stderr.strip()}")
        debs = sorted(glob.glob(os.path.join(work, "*.deb")))
        unpacked = os.path.join(work, "root")
        for deb in debs:
            subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        images = glob.glob(os.path.join(unpacked, "boot", "vmlinuz-*"))
        if len(images) != 1 or not os.path.exists(
                os.path.join(unpacked, "bin", "busybox")):
            print(f"{TEST}: the packages hold no single kernel image and "
                  f"busybox: {debs}")
            sys.exit(1)
        with open(os.path.join(cache, "packages"), "w") as names:
            names.write("".join(os.path.basename(d) + "\n" for d in debs))
        # Whole files only: busybox first, the kernel last, each renamed
        # into place; a run sees both or fetches again.
        shutil.copy(os.path.join(unpacked, "bin", "busybox"),
                    os.path.join(work, "busybox"))
        os.replace(os.path.join(work, "busybox"), busybox)
        shutil.copy(images[0], os.path.join(work, "vmlinuz"))
        os.replace(os.path.join(work, "vmlinuz"), kernel)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return kernel, busybox


# --- the initramfs --------------------------------------------------------

def shared_libraries(program):
    """The libraries and the loader ldd lists for `program`."""
    out = subprocess.run(["ldd", program], capture_output=True,
                         text=True).stdout
    if "not a dynamic executable" in out or "statically linked" in out:
        return []
    libraries = []
    for line in out.splitlines():
        line = line.strip()
        if "not found" in line:
            print(f"{TEST}: {program} needs a library that is missing: "
                  f"{line}")
            sys.exit(1)
        path = line.split("=>")[-1].split("(")[0].strip()
        if path.startswith("/"):
            libraries.append(path)
    return libraries


def make_initramfs(work, busybox, args):
    root = os.path.join(work, "root")
    for folder in ("bin", "dev", "proc", "sys", "tmp", "var/lock"):
        os.makedirs(os.path.join(root, folder))
    for source, name in ((busybox, "bin/busybox"), (args.init, "init"),
                         (args.relka, "bin/relka"),
                         (args.relkactl, "bin/relkactl"),
                         (args.mark, "bin/kernel_mark")):
        shutil.copy(source, os.path.join(root, name))
        os.chmod(os.path.join(root, name), 0o755)
    for library in sorted(set(shared_libraries(args.relka) +
                              shared_libraries(args.relkactl))):
        target = os.path.join(root, library.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(library, target)  # the file a link leads to
    names = []
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        if folder != root:
            names.append(os.path.relpath(folder, root))
        names += [os.path.relpath(os.path.join(folder, name), root)
                  for name in sorted(files)]
    image = os.path.join(work, "initramfs.cpio")
    with open(image, "wb") as out:
        subprocess.run([busybox, "cpio", "-o", "-H", "newc"], cwd=root,
                       input="\n".join(names).encode() + b"\n", stdout=out,
                       stderr=subprocess.DEVNULL, check=True)
    return image


# --- the boot -------------------------------------------------------------

def die_with_parent():
    # QEMU goes when this script goes, however it ends, even killed outright.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def boot(qemu, kernel, image, work):
    files = {name: os.path.join(work, name)
             for name in ("console", "marks", "trace", "events")}
    with open(files["events"], "w") as events:
        events.write("memory_region_ops_write\n")
    command = [
        qemu, "-nodefaults", "-no-user-config", "-machine", "pc",
        "-accel", "tcg", "-m", "256M", "-display", "none", "-no-reboot",
        "-kernel", kernel, "-initrd", image,
        "-append", "console=ttyS0 quiet panic=-1",
        "-serial", "file:" + files["console"], "-serial", "null",
        "-chardev", "file,id=marks,path=" + files["marks"],
        "-device", "isa-debugcon,iobase=0xe9,chardev=marks",
        "-trace", f"events={files['events']},file={files['trace']}",
        "-msg", "timestamp=on"]
    start = time.monotonic()
    qemu_run = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT,
                                preexec_fn=die_with_parent)
    try:
        output, _ = qemu_run.communicate(timeout=BOOT_LIMIT)
        status = qemu_run.returncode
    except subprocess.TimeoutExpired:
        output, status = b"", None
    finally:
        if qemu_run.poll() is None:
            qemu_run.kill()
            qemu_run.wait()
    files["seconds"] = time.monotonic() - start
    files["status"] = status
    files["output"] = output.decode(errors="replace")
    return files


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def read_notes(text):
    """{case: {key: value}} from the debug console, and whether it ended."""
    notes, done = {}, False
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("@file "):
            _, case, key = line.split(" ", 2)
            body = []
            i += 1
            while i < len(lines) and lines[i] != "@end":
                body.append(lines[i][2:])
                i += 1
            notes.setdefault(case, {})[key] = "\n".join(body)
        elif line.startswith("@ "):
            parts = line[2:].split(" ", 2)
            notes.setdefault(parts[0], {})[parts[1]] = (
                parts[2] if len(parts) > 2 else "")
        elif line == "done":
            done = True
        i += 1
    return notes, done


# --- the checks -----------------------------------------------------------

def levels(change):
    return ("D" if change["dtr"] else "d") + ("R" if change["rts"] else "r")


class Checks:
    def __init__(self, cases, notes):
        self.cases = cases
        self.notes = notes
        self.failed = []
        self.passed = []
        self.shown = set()

    def window(self, name):
        return self.cases.get(name, {"changes": [], "frames": [],
                                     "faults": [], "data_bytes": [],
                                     "missing": True})

    def note(self, name, key, default=None):
        return self.notes.get(name, {}).get(key, default)

    def check(self, name, what, ok, show=True):
        print(f"  {'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            if name not in self.failed:
                self.failed.append(name)
            if show:
                self.show(name)
        return ok

    def show(self, name):
        """What the case did, once: enough to see why it failed."""
        if name in self.shown:
            return
        self.shown.add(name)
        window = self.window(name)
        if window.get("missing"):
            print(f"       the trace has no case {name}")
        elif not window.get("ended", True):
            print(f"       the VM stopped inside {name}")
        start = ("D" if window.get("initial_dtr") else "d") + (
            "R" if window.get("initial_rts") else "r")
        changes = " ".join(
            f"{c['usec'] / 1e6:.6f}:{levels(c)}"
            + ("" if c["cause"] == "write" else f"({c['cause']})")
            for c in window["changes"])
        print(f"       lines before: {start}; {len(window['changes'])} "
              f"changes (time s:levels): {changes}")
        for frame in window["frames"]:
            print(f"       frame: box {frame['box_address']} "
                  f"(address byte 0x{frame['address_byte']:02x}) "
                  f"{'read' if frame['read'] else 'write'} "
                  f"data 0x{frame['data']:02x}, changes "
                  f"{frame['first_change']}-{frame['last_change']}")
        for fault in window["faults"]:
            print(f"       fault at change {fault['change']}: "
                  f"{fault['what']}")
        if window["data_bytes"]:
            print(f"       bytes sent: {window['data_bytes']}")
        for key, value in sorted(self.notes.get(name, {}).items()):
            shown = value.replace("\n", "\n         ")
            print(f"       {key}: {shown}")

    def begin(self, name, what):
        print(f"{name}: {what}")
        self.passed.append(name)

    def end(self):
        self.passed = [n for n in self.passed if n not in self.failed]

    # Checks shared by several cases.

    def frames(self, name, expected):
        window = self.window(name)
        got = [(f["box_address"], f["data"], f["read"])
               for f in window["frames"]]
        want = [(box, mask, False) for box, mask in expected]
        text = ", ".join(f"box {b} mask 0x{m:02x}" for b, m in expected)
        self.check(name, f"frames on the wire: {text or 'none'}",
                   got == want)
        self.check(name, "no decoder faults", not window["faults"])

    def status(self, name, expected, key="status"):
        got = self.note(name, key)
        self.check(name, f"{key} {expected} (got {got})",
                   got == str(expected))

    def lock_folder(self, name, expected=""):
        got = self.note(name, "locks")
        self.check(name, "lock folder after the run: "
                   + (expected or "empty"), got == expected)


def run_checks(cases, notes, summary):
    c = Checks(cases, notes)

    for box, mask in ((2, 5), (0, 0), (7, 255), (96, 3)):
        name = f"relka.a{box}.s{mask}"
        c.begin(name, f"relka -d /dev/ttyS1 -a {box} -s {mask}")
        c.status(name, 0)
        c.frames(name, [(box, mask)])
        c.lock_folder(name)

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
        c.begin(name, f"stty -a the same before and after a run, {what}")
        c.status(name, 0)
        c.frames(name, [(2, 5)])
        before = c.note(name, "before", "")
        c.check(name, "stty -F /dev/ttyS1 -a identical before and after",
                before != "" and before == c.note(name, "after"))
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for option in ("relka", "relkactl", "mark", "trace-tool", "init",
                   "cache", "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    # A signal to end (ctest's time limit, Ctrl-C) unwinds through the
    # clean-up below: QEMU killed, the work folder removed.
    for ending in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(ending, lambda number, _: sys.exit(128 + number))

    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        missing("qemu-system-x86_64 is not installed (Debian package "
                "qemu-system-x86)")
    started = time.monotonic()
    kernel, busybox = fetch(args.cache)
    print(f"{TEST}: {read_text(os.path.join(args.cache, 'packages')).strip()}"
          .replace("\n", ", "))

    # The initramfs, the trace and the VM's files go into a folder of the
    # build tree that is removed at the end; a run killed outright (ctest's
    # time limit kills with SIGKILL) leaves it to the next run to remove.
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        image = make_initramfs(work, busybox, args)
        run = boot(qemu, kernel, image, work)
        print(f"{TEST}: boot and cases took {run['seconds']:.1f} s under TCG")
        notes, done = read_notes(read_text(run["marks"]))
        decoded = subprocess.run([args.trace_tool, run["trace"]],
                                 capture_output=True, text=True)
        objects = [json.loads(line) for line in decoded.stdout.splitlines()]
        cases = {o["case"]: o for o in objects if "case" in o}
        summary = next((o for o in objects if "cases" in o), {})
        if run["status"] != 0 or not done or decoded.returncode != 0:
            print(f"{TEST}: the VM did not finish its cases: QEMU "
                  + (f"was killed after {BOOT_LIMIT} s"
                     if run["status"] is None
                     else f"exited with {run['status']}")
                  + f", {len(cases)} cases in the trace"
                  + ("" if done else ", no 'done' mark"))
            print(run["output"][-2000:])
            print("console (last lines):")
            print("\n".join(read_text(run["console"]).splitlines()[-30:]))
            print(decoded.stderr)
        checks, broken, races = run_checks(cases, notes, summary)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"{TEST}: {len(checks.passed)} cases passed, "
          f"{len(checks.failed)} failed"
          + (": " + " ".join(checks.failed) if checks.failed else "")
          + f"; {broken} of {races} race cases with broken frames"
          + f"; {time.monotonic() - started:.1f} s in all")
    ok = not checks.failed and done and run["status"] == 0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
