# SPDX-License-Identifier: MIT
"""The kernel tests' runner: one boot of a Debian kernel under QEMU (TCG).

A machine (kernel_8250.py, kernel_ftdi.py) names its kernel package, the
modules its initramfs loads, its /init, the QEMU devices and trace events,
and its checks. The runner fetches the packages with apt-get download into
the cache folder the first time (remove it to fetch again), builds the
initramfs (busybox, relka, relkactl, the machine's programs with the
libraries ldd lists, the static marker kernel_mark), boots, lets the machine
answer the VM's requests to the host while it runs (the "host ..." lines on
the debug console), and hands the decoded trace and the VM's notes to the
machine's checks.

The VM speaks on QEMU's debug console (port 0xe9, kernel_mark):

  begin CASE / end CASE    around what CASE did to the line
  @ CASE KEY VALUE...      one fact (an exit status, the lock folder)
  @file CASE KEY           a file's lines, each as "| LINE", then "@end"
  host WORDS...            a request to the host (the machine's `host`)
  done                     every case ran

Exits 77, ctest's skip, when QEMU or the packages cannot be had, unless
RELKA_REQUIRE is "all" or names "kernel".
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
BOOT_LIMIT = 90  # seconds QEMU is given before it is killed


class Runner:
    def __init__(self, test):
        self.test = test

    def required(self):
        words = os.environ.get("RELKA_REQUIRE", "").split()
        return "all" in words or "kernel" in words

    def missing(self, what):
        if self.required():
            print(f"{self.test}: {what}; RELKA_REQUIRE asks for the kernel "
                  "test")
            sys.exit(1)
        print(f"{self.test}: skipped: {what}")
        sys.exit(SKIP)

    def say(self, text):
        print(f"{self.test}: {text}", flush=True)


# --- the kernel, its modules and busybox, from Debian's packages ----------

def apt_download(runner, packages, work):
    command = ["apt-get", "download", "-q"] + packages
    if os.geteuid() == 0:
        # As root, apt would hand the download to _apt, which may not
        # write here; it then warns and downloads as root anyway.
        command[1:1] = ["-o", "APT::Sandbox::User=root"]
    runner.say(f"fetching {' '.join(packages)}")
    got = subprocess.run(command, cwd=work, capture_output=True, text=True)
    if got.returncode != 0:
        runner.missing(f"apt-get download {' '.join(packages)} failed: "
                       f"{got.stderr.strip()}")
    return sorted(glob.glob(os.path.join(work, "*.deb")))


def module_name(path):
    """A module's name as modinfo's depends gives it: '-' and '_' alike."""
    return os.path.basename(path)[:-len(".ko")].replace("-", "_")


def unpack_modules(runner, deb, wanted, into):
    """The modules named in `wanted` and every one they depend on (modinfo
    -F depends), unpacked from `deb` into `into`, with the file `load`
    naming them in an order insmod can take. Built-in ones are skipped."""
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True,
                             text=True, check=True).stdout
    paths = {module_name(p): p for p in re.findall(r"(\./lib/modules/\S+\.ko)\n",
                                                   listing)}
    modinfo = shutil.which("modinfo", path=os.environ.get("PATH", "") +
                           ":/sbin:/usr/sbin")
    if modinfo is None:
        runner.missing("modinfo is not installed (Debian package kmod)")
    depends, todo = {}, [w.replace("-", "_") for w in wanted]
    while todo:
        names = [n for n in dict.fromkeys(todo) if n not in depends]
        todo = []
        missing = [n for n in names if n not in paths]
        if missing:
            print(f"modules not in {os.path.basename(deb)}: {missing}")
            sys.exit(1)
        members = [paths[n] for n in names]
        subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{into}' "
                       + " ".join(f"'{m}'" for m in members),
                       shell=True, check=True)
        for name, member in zip(names, members):
            found = subprocess.run([modinfo, "-F", "depends",
                                    os.path.join(into, member)],
                                   capture_output=True, text=True,
                                   check=True).stdout.strip()
            depends[name] = [d.replace("-", "_") for d in found.split(",")
                             if d]
            todo += depends[name]
    order = []

    def place(name):
        if name not in order:
            for first in depends[name]:
                place(first)
            order.append(name)
    for name in sorted(depends):
        place(name)
    for name in order:
        os.replace(os.path.join(into, paths[name]),
                   os.path.join(into, os.path.basename(paths[name])))
    shutil.rmtree(os.path.join(into, "lib"))
    with open(os.path.join(into, "load"), "w") as load:
        load.write("".join(os.path.basename(paths[n]) + "\n" for n in order))


def fetch(runner, cache, kernel_meta, name, modules=()):
    """cache/NAME (the kernel image of `kernel_meta`'s package), its modules
    in cache/NAME.modules/ and cache/busybox, downloaded and unpacked if not
    there. cache/NAME.packages names the packages."""
    kernel = os.path.join(cache, name)
    busybox = os.path.join(cache, "busybox")
    module_dir = kernel + ".modules"
    if os.path.exists(kernel) and os.path.exists(busybox):
        return kernel, busybox, module_dir
    for tool in ("apt-cache", "apt-get", "dpkg-deb"):
        if shutil.which(tool) is None:
            runner.missing(f"{tool} is not installed: the kernel and busybox "
                           "packages cannot be fetched")
    # The metapackage names the real image package, which has the ABI in
    # its name.
    depends = subprocess.run(["apt-cache", "depends", kernel_meta],
                             capture_output=True, text=True)
    found = re.search(r"Depends: (linux-image-\d\S*)\s", depends.stdout)
    if found is None:
        runner.missing(f"apt-cache cannot resolve {kernel_meta} "
                       "(no Debian package lists?)")
    packages = [found.group(1), "busybox-static"]
    os.makedirs(cache, exist_ok=True)
    for leftover in glob.glob(os.path.join(cache, "fetch.*")):
        shutil.rmtree(leftover, ignore_errors=True)  # of a run killed outright
    work = tempfile.mkdtemp(prefix="fetch.", dir=cache)
    try:
        debs = apt_download(runner, packages, work)
        unpacked = os.path.join(work, "root")
        os.makedirs(unpacked)
        image_deb = next(d for d in debs
                         if os.path.basename(d).startswith("linux-image-"))
        subprocess.run(f"dpkg-deb --fsys-tarfile '{image_deb}' | tar -x -C "
                       f"'{unpacked}' --wildcards './boot/vmlinuz-*'",
                       shell=True, check=True)
        for deb in debs:
            if deb != image_deb:
                subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        images = glob.glob(os.path.join(unpacked, "boot", "vmlinuz-*"))
        if len(images) != 1 or not os.path.exists(
                os.path.join(unpacked, "bin", "busybox")):
            print(f"{runner.test}: the packages hold no single kernel image "
                  f"and busybox: {debs}")
            sys.exit(1)
        staged = os.path.join(work, "modules")
        os.makedirs(staged)
        if modules:
            unpack_modules(runner, image_deb, modules, staged)
        with open(kernel + ".packages", "w") as names:
            names.write("".join(os.path.basename(d) + "\n" for d in debs))
        # Whole files only: busybox and the modules first, the kernel last,
        # each renamed into place; a run sees all or fetches again.
        shutil.copy(os.path.join(unpacked, "bin", "busybox"),
                    os.path.join(work, "busybox"))
        os.replace(os.path.join(work, "busybox"), busybox)
        shutil.rmtree(module_dir, ignore_errors=True)
        os.replace(staged, module_dir)
        shutil.copy(images[0], os.path.join(work, "vmlinuz"))
        os.replace(os.path.join(work, "vmlinuz"), kernel)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return kernel, busybox, module_dir


# --- the initramfs --------------------------------------------------------

def shared_libraries(runner, program):
    """The libraries and the loader ldd lists for `program`."""
    out = subprocess.run(["ldd", program], capture_output=True,
                         text=True).stdout
    if "not a dynamic executable" in out or "statically linked" in out:
        return []
    libraries = []
    for line in out.splitlines():
        line = line.strip()
        if "not found" in line:
            print(f"{runner.test}: {program} needs a library that is "
                  f"missing: {line}")
            sys.exit(1)
        path = line.split("=>")[-1].split("(")[0].strip()
        if path.startswith("/"):
            libraries.append(path)
    return libraries


def make_initramfs(runner, work, busybox, init, programs, extra=()):
    """`programs` ({name in /bin: file}) with their libraries, /init and
    busybox; `extra` is (source, name in the image) pairs."""
    root = os.path.join(work, "root")
    for folder in ("bin", "dev", "proc", "sys", "tmp", "var/lock"):
        os.makedirs(os.path.join(root, folder))
    copies = [(busybox, "bin/busybox"), (init, "init")] + [
        (source, "bin/" + name) for name, source in programs.items()]
    for source, name in copies + list(extra):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        shutil.copy(source, os.path.join(root, name))
        os.chmod(os.path.join(root, name), 0o755)
    libraries = set()
    for source in programs.values():
        libraries.update(shared_libraries(runner, source))
    for library in sorted(libraries):
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


def boot(qemu, kernel, image, work, machine):
    """Runs the VM to its end. While it runs, each "host ..." line on the
    debug console goes to machine.host(words, files) in the order written."""
    files = {name: os.path.join(work, name)
             for name in ("console", "marks", "trace", "events", "qmp")}
    with open(files["events"], "w") as events:
        events.write("".join(e + "\n" for e in machine.TRACE_EVENTS))
    command = [
        qemu, "-nodefaults", "-no-user-config", "-machine", "pc",
        "-accel", "tcg", "-m", "256M", "-display", "none", "-no-reboot",
        "-kernel", kernel, "-initrd", image,
        "-append", "console=ttyS0 quiet panic=-1",
        "-serial", "file:" + files["console"]] + machine.devices(files) + [
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
        if hasattr(machine, "host"):
            answer_host(qemu_run, files, machine, start)
        output, _ = qemu_run.communicate(
            timeout=max(1, BOOT_LIMIT - (time.monotonic() - start)))
        status = qemu_run.returncode
    except subprocess.TimeoutExpired:
        output, status = b"", None
    finally:
        if qemu_run.poll() is None:
            qemu_run.kill()
            qemu_run.wait()
        if hasattr(machine, "close"):
            machine.close()
    files["seconds"] = time.monotonic() - start
    files["status"] = status
    files["output"] = output.decode(errors="replace")
    return files


def answer_host(qemu_run, files, machine, start):
    """Passes the VM's "host" lines to the machine until QEMU ends; polls
    the machine in between, more often while it asks for that."""
    seen = 0
    while qemu_run.poll() is None and time.monotonic() - start < BOOT_LIMIT:
        lines = read_text(files["marks"]).split("\n")[:-1]
        for line in lines[seen:]:
            if line.startswith("host "):
                machine.host(line.split()[1:], files)
        seen = len(lines)
        time.sleep(0.0005 if machine.poll(files) else 0.005)


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
                                     "modem_reads": 0, "modem_writes": 0,
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
        if window.get("modem_writes") or window.get("modem_reads"):
            print(f"       modem-control requests {window['modem_writes']}, "
                  f"modem-status reads {window['modem_reads']}")
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

    def frame_table(self, device, each=None):
        """relka's frame table on DEVICE (vm_lib.sh's frame_table): one frame
        a run, and the lock folder empty after; each(name) adds a
        machine's own checks of a case."""
        for box, mask in ((2, 5), (0, 0), (7, 255), (96, 3)):
            name = f"relka.a{box}.s{mask}"
            self.begin(name, f"relka -d {device} -a {box} -s {mask}")
            self.status(name, 0)
            self.frames(name, [(box, mask)])
            if each:
                each(name)
            self.lock_folder(name)

    def same_settings(self, name, what, device):
        """A run that left `stty -a` of DEVICE as it found it; the text."""
        self.begin(name, f"stty -a the same before and after a run, {what}")
        self.status(name, 0)
        self.frames(name, [(2, 5)])
        before = self.note(name, "before", "")
        self.check(name, f"stty -F {device} -a identical before and after",
                   before != "" and before == self.note(name, "after"))
        return before

    def lock_folder(self, name, expected=""):
        got = self.note(name, "locks")
        self.check(name, "lock folder after the run: "
                   + (expected or "empty"), got == expected)


# --- one run --------------------------------------------------------------

def main(machine):
    """Fetch, build, boot, check: the exit status of the test."""
    parser = argparse.ArgumentParser(description=machine.__doc__.split("\n")[0])
    for option in ("relka", "relkactl", "mark", "trace-tool", "init",
                   "cache", "work"):
        parser.add_argument("--" + option, required=True)
    for option in machine.OPTIONS:
        parser.add_argument("--" + option)
    args = parser.parse_args()
    runner = Runner(machine.TEST)
    # A signal to end (ctest's time limit, Ctrl-C) unwinds through the
    # clean-up below: QEMU killed, the work folder removed.
    for ending in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(ending, lambda number, _: sys.exit(128 + number))

    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        runner.missing("qemu-system-x86_64 is not installed (Debian package "
                       "qemu-system-x86)")
    started = time.monotonic()
    kernel, busybox, modules = fetch(runner, args.cache, machine.KERNEL_META,
                                     machine.KERNEL_NAME, machine.MODULES)
    packages = read_text(kernel + ".packages").strip()
    if packages:
        runner.say(packages.replace("\n", ", "))

    # The initramfs, the trace and the VM's files go into a folder of the
    # build tree that is removed at the end (kept when RELKA_KERNEL_KEEP is
    # set); a run killed outright (ctest's time limit kills with SIGKILL)
    # leaves it to the next run to remove.
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        programs = {"relka": args.relka, "relkactl": args.relkactl,
                    "kernel_mark": args.mark}
        programs.update(machine.programs(args))
        extra = [(os.path.join(os.path.dirname(args.init), "vm_lib.sh"),
                  "lib/vm_lib.sh")]
        if machine.MODULES:
            extra += [(os.path.join(modules, name), "lib/modules/" + name)
                      for name in os.listdir(modules)]
        image = make_initramfs(runner, work, busybox, args.init, programs,
                               extra)
        run = boot(qemu, kernel, image, work, machine)
        runner.say(f"boot and cases took {run['seconds']:.1f} s under TCG")
        notes, done = read_notes(read_text(run["marks"]))
        decoded = subprocess.run([args.trace_tool, run["trace"]],
                                 capture_output=True, text=True)
        objects = [json.loads(line) for line in decoded.stdout.splitlines()]
        cases = {o["case"]: o for o in objects if "case" in o}
        summary = next((o for o in objects if "cases" in o), {})
        if run["status"] != 0 or not done or decoded.returncode != 0:
            runner.say("the VM did not finish its cases: QEMU "
                       + (f"was killed after {BOOT_LIMIT} s"
                          if run["status"] is None
                          else f"exited with {run['status']}")
                       + f", {len(cases)} cases in the trace"
                       + ("" if done else ", no 'done' mark"))
            print(run["output"][-2000:])
            print("console (last lines):")
            print("\n".join(read_text(run["console"]).splitlines()[-30:]))
            print(decoded.stderr)
        booted = summary.get("boot_usec", -1) / 1e6
        if booted >= 0:
            runner.say(f"the boot took {booted:.1f} s, the cases "
                       f"{run['seconds'] - booted:.1f} s")
        checks, figures = machine.run_checks(cases, notes, summary)
    finally:
        if not os.environ.get("RELKA_KERNEL_KEEP"):
            shutil.rmtree(work, ignore_errors=True)

    runner.say(f"{len(checks.passed)} cases passed, {len(checks.failed)} "
               "failed"
               + (": " + " ".join(checks.failed) if checks.failed else "")
               + (f"; {figures}" if figures else "")
               + f"; {time.monotonic() - started:.1f} s in all")
    ok = not checks.failed and done and run["status"] == 0
    return 0 if ok else 1
