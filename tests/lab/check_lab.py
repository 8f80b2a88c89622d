# SPDX-License-Identifier: MIT
"""Runs a lab scenario inside "relka-sim run --json" and checks, from
relka-sim's report, what the virtual boxes received: the frames per box in
order, the outlets each one switched, the pause of a reboot or cycle, and
the boxes at the end.

    check_lab.py --sim RELKA-SIM --source SOURCE-FOLDER CASE

CASE: pdudaemon, labgrid-external, labgrid-pdudaemon, pdudaemon-relka,
pdudaemon-relka-names or lava (Debian's lava-run, as root: it works under
/var/lib/lava/dispatcher). Exits 77 (skipped) when pdudaemon or labgrid is
missing, unless RELKA_REQUIRE names the tool (or is "all"): then the
missing tool fails the test. The cases with pdudaemon need its driver
"relka" (relka_pdudaemon) on PYTHONPATH; without it the test fails. The
shipped pdudaemon config names the boxes of the example lab file
(examples/lab.toml): those cases run with it in RELKA_LAB and with
relka-sim's lines where it puts them.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tomllib

DEBIAN_PYTHON = "/usr/bin/python3"
PDUDAEMON = "/usr/sbin/pdudaemon"
LAVA_RUN = "/usr/bin/lava-run"
LAVA_FOLDER = "/var/lib/lava/dispatcher"
SKIPPED = 77
DELAY_US = 2_000_000  # the reboot and cycle pause the scenarios ask for
SLACK_US = 10_000_000  # how much longer than that a pause may last


def required(tool):
    words = os.environ.get("RELKA_REQUIRE", "").split()
    return tool in words or "all" in words


def debian_module(module):
    """Whether Debian's interpreter imports module; else why not."""
    if not os.access(DEBIAN_PYTHON, os.X_OK):
        return f"{DEBIAN_PYTHON} is missing (Debian package python3)"
    try:
        done = subprocess.run([DEBIAN_PYTHON, "-c", f"import {module}"],
                              capture_output=True, text=True, timeout=60,
                              cwd="/")
    except subprocess.TimeoutExpired:
        return f"{DEBIAN_PYTHON} took too long to import {module}"
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["?"])[-1]
        return f"{DEBIAN_PYTHON} cannot import {module}: {last}"
    return None


def missing_tools(case):
    """(tool, reason) for every tool the case needs and lacks."""
    missing = []
    if case in ("pdudaemon", "labgrid-pdudaemon") or case.startswith("pdudaemon-relka"):
        if not os.path.exists(PDUDAEMON):
            missing.append(("pdudaemon", f"{PDUDAEMON} is missing "
                            "(Debian package pdudaemon)"))
        else:
            why = debian_module("pdudaemon.httplistener")
            if why:
                missing.append(("pdudaemon", why))
    if case.startswith("labgrid"):
        why = debian_module("labgrid")
        if why:
            if os.access(DEBIAN_PYTHON, os.X_OK):
                why += " (Debian package python3-labgrid)"
            missing.append(("labgrid", why))
    if case == "lava":
        if not os.access(LAVA_RUN, os.X_OK):
            missing.append(("lava", f"{LAVA_RUN} is missing (Debian package "
                            "lava-dispatcher)"))
        elif os.geteuid() != 0:
            missing.append(("lava", f"lava-run works under {LAVA_FOLDER}, "
                            "which needs root"))
    return missing


def lab_lines(lab_file):
    """The devices of a lab file's lines, for relka-sim run's --line."""
    with open(lab_file, "rb") as source:
        lines = tomllib.load(source).get("line", {})
    return [line["device"] for line in lines.values()]


def sim_argv(sim, command, lines=()):
    line_options = [word for line in lines for word in ("--line", line)]
    return [sim, "run", *line_options, "--json", "--time-limit", "120", "--",
            *command]


def run_sim_output(sim, command, limit=180, lines=(), cwd=None, env=None):
    """relka-sim run --json -- command; its status, report, output (before
    the report) and error output. On the time limit relka-sim is asked to
    end (it passes SIGTERM on to the command's group and ends what is
    left), then killed."""
    sim_run = subprocess.Popen(sim_argv(sim, command, lines),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, stdin=subprocess.DEVNULL, cwd=cwd,
                               env=env)
    try:
        out, err = sim_run.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        sim_run.send_signal(signal.SIGTERM)
        try:
            out, err = sim_run.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            sim_run.kill()
            out, err = sim_run.communicate()
        sys.stdout.write(out)
        sys.stderr.write(err)
        raise SystemExit(f"FAIL: relka-sim run lasted more than {limit} s")
    lines = out.rstrip("\n").split("\n")
    try:
        report = json.loads(lines[-1])
    except ValueError:
        sys.stdout.write("\n".join(lines[:-1]) + "\n")
        sys.stdout.write(err)
        raise SystemExit(f"FAIL: relka-sim's last line is no JSON report "
                         f"(status {sim_run.returncode}): {lines[-1]!r}")
    return sim_run.returncode, report, "\n".join(lines[:-1]), err


def run_sim(sim, command, limit=180, lines=()):
    """run_sim_output, its output passed on; the status and report."""
    print("check: " + " ".join(sim_argv(sim, command, lines)), flush=True)
    status, report, out, err = run_sim_output(sim, command, limit, lines)
    sys.stdout.write(out + "\n")
    sys.stdout.write(err)
    return status, report


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        print(("ok: " if ok else "FAIL: ") + what, flush=True)
        if not ok:
            self.failures.append(what)
        return ok


def frames_of(report, box):
    return [f for f in report["frames"] if f["box_address"] == box]


def changed(frame):
    return [(c["outlet"], c["on"]) for c in frame["changed"]]


def check_common(checks, status, report, boxes):
    checks.expect(status == 0 and report["command"]["status"] == 0,
                  f"the scenario exited 0 (relka-sim {status}, "
                  f"command {report['command']['status']})")
    checks.expect(not report["command"]["timed_out"], "no time limit reached")
    checks.expect(report["faults"] == [], f"no malformed line activity: "
                  f"{report['faults']}")
    seen = sorted({f["box_address"] for f in report["frames"]})
    checks.expect(seen == sorted(boxes), f"frames only for boxes {boxes}: {seen}")


def check_masks(checks, frames, box, masks):
    got = [f["data"] for f in frames]
    checks.expect(got == masks, f"box {box} received masks "
                  f"{[hex(m) for m in masks]}: {[hex(m) for m in got]}")
    return got == masks


def check_single(checks, frames, box, steps):
    """steps: (index, outlet, on) for frames that must change one outlet."""
    for index, outlet, on in steps:
        if index < len(frames):
            what = "on" if on else "off"
            checks.expect(changed(frames[index]) == [(outlet, on)],
                          f"box {box} frame {index + 1} switched only outlet "
                          f"{outlet} {what}: {changed(frames[index])}")


def box_frames(checks, report, box, masks, steps):
    """box's frames have exactly these masks; steps: (index, outlet, on)
    for frames that switch that one outlet alone. The frames."""
    frames = frames_of(report, box)
    if check_masks(checks, frames, box, masks):
        check_single(checks, frames, box, steps)
    return frames


def check_pause(checks, frames, box, off, on, what, delay_us=DELAY_US):
    if max(off, on) >= len(frames):
        return
    pause = frames[on]["time_us"] - frames[off]["time_us"]
    checks.expect(delay_us <= pause <= delay_us + SLACK_US,
                  f"box {box}: {what}'s off and on lie {pause / 1e6:.3f} s apart "
                  f"(at least {delay_us / 1e6:g} s)")


def check_end(checks, report, box, mask):
    ends = [b for b in report["boxes"] if b["box_address"] == box]
    data = ends[0]["data"] if ends else None
    checks.expect(data == mask, f"box {box} ends with mask {mask:#04x}: "
                  f"{data if data is None else hex(data)}")


def check_pdudaemon(checks, status, report):
    check_common(checks, status, report, [1, 2])
    one = frames_of(report, 1)
    two = frames_of(report, 2)
    # rack1-top (box 1): set 129; on 3; off 1; reboot 3 (off, pause, on);
    # outlet 9 refused, nothing sent; then on 5 and off 8 in parallel with
    # rack1-bottom's (box 2) requests.
    head = [0x81, 0x85, 0x84, 0x80, 0x84]
    got = [f["data"] for f in one]
    checks.expect(len(one) == 7 and got[:5] == head and got[6] == 0x14 and
                  got[5] in (0x94, 0x04),
                  f"box 1 received 0x81 0x85 0x84 0x80 0x84, then 0x94 or "
                  f"0x04, then 0x14: {[hex(m) for m in got]}")
    check_single(checks, one, 1, [(1, 3, True), (2, 1, False), (3, 3, False),
                                  (4, 3, True)])
    if len(one) == 7:
        checks.expect(all(len(changed(f)) == 1 for f in one[5:]),
                      "box 1's parallel requests each switched one outlet")
    check_pause(checks, one, 1, 3, 4, "reboot")
    got = [f["data"] for f in two]
    checks.expect(len(two) == 3 and got[0] == 0 and got[2] == 0x60 and
                  got[1] in (0x20, 0x40),
                  f"box 2 received 0x00, then 0x20 or 0x40, then 0x60: "
                  f"{[hex(m) for m in got]}")
    check_end(checks, report, 1, 0x14)
    check_end(checks, report, 2, 0x60)


def check_pdudaemon_relka(checks, status, report):
    """Through the driver relka: box 2's refused request (state unknown) and
    box 1's (outlet 9) sent nothing; then each request switched its one
    outlet on its own box."""
    check_common(checks, status, report, [1, 2])
    one = frames_of(report, 1)
    two = frames_of(report, 2)
    # set 0; on 3; on 8; off 3.
    if check_masks(checks, one, 1, [0x00, 0x04, 0x84, 0x80]):
        check_single(checks, one, 1, [(1, 3, True), (2, 8, True), (3, 3, False)])
    # set 0 (after the refusal); on 5; on 6.
    if check_masks(checks, two, 2, [0x00, 0x10, 0x30]):
        check_single(checks, two, 2, [(1, 5, True), (2, 6, True)])
    check_end(checks, report, 1, 0x80)
    check_end(checks, report, 2, 0x30)


def check_labgrid(checks, status, report, box, outlet, start, pause):
    """A known start (set), then labgrid's on(), cycle() and off() of one
    outlet: five frames, each switching only that outlet, the cycle's off
    and on the pause apart, and the box back where it started."""
    check_common(checks, status, report, [box])
    frames = frames_of(report, box)
    bit = 1 << (outlet - 1)
    if check_masks(checks, frames, box,
                   [start, start | bit, start, start | bit, start]):
        check_single(checks, frames, box, [(1, outlet, True), (2, outlet, False),
                                           (3, outlet, True), (4, outlet, False)])
        check_pause(checks, frames, box, 2, 3, pause)
    check_end(checks, report, box, start)


def check_labgrid_external(checks, status, report):
    # The two failed on() calls sent nothing; then set 16 (outlet 5 on, as a
    # neighbour) before on, cycle, off of outlet 3.
    check_labgrid(checks, status, report, 1, 3, 0x10, "cycle")


def check_labgrid_pdudaemon(checks, status, report):
    # set 0, then outlet 6 through pdudaemon (cycle is pdudaemon's reboot).
    check_labgrid(checks, status, report, 2, 6, 0x00, "reboot")


def check_lava(checks, status, report):
    """rack1-top (box 1): set 0x14, the good board's hard reset (outlet 3
    off, the lab file's 5 s, on) and LAVA's power off after the job; the
    other board's refused commands sent nothing to rack1-bottom."""
    check_common(checks, status, report, [1])
    frames = box_frames(checks, report, 1, [0x14, 0x10, 0x14, 0x10],
                        [(1, 3, False), (2, 3, True), (3, 3, False)])
    check_pause(checks, frames, 1, 1, 2, "the hard reset", delay_us=5_000_000)
    check_end(checks, report, 1, 0x10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("case", choices=["pdudaemon", "labgrid-external",
                                         "labgrid-pdudaemon", "pdudaemon-relka",
                                         "pdudaemon-relka-names", "lava"])
    args = parser.parse_args()

    missing = missing_tools(args.case)
    for tool, why in missing:
        print(("FAIL: required, but " if required(tool) else "SKIP: ") + why)
    if missing:
        return 1 if any(required(tool) for tool, _ in missing) else SKIPPED

    if "pdudaemon" in args.case:
        why = debian_module("relka_pdudaemon")
        if why:
            print(f"FAIL: the driver relka is not on PYTHONPATH: {why}")
            return 1

    source = os.path.abspath(args.source)
    lab = os.path.join(source, "tests", "lab")
    conf = os.path.join(source, "examples", "pdudaemon", "pdudaemon.conf")
    envs = os.path.join(source, "examples", "labgrid")
    lines = ()
    if args.case in ("pdudaemon", "labgrid-pdudaemon", "labgrid-external",
                     "lava"):
        example_lab = os.path.join(source, "examples", "lab.toml")
        os.environ["RELKA_LAB"] = example_lab
        lines = lab_lines(example_lab)
    if args.case == "pdudaemon":
        command = [os.path.join(lab, "pdudaemon_scenario.py"), conf,
                   str(DELAY_US // 1_000_000)]
        check = check_pdudaemon
    elif args.case == "labgrid-external":
        command = [os.path.join(lab, "labgrid_scenario.py"), "external",
                   os.path.join(envs, "relka-external.yaml")]
        check = check_labgrid_external
    elif args.case == "pdudaemon-relka":
        command = [os.path.join(lab, "pdudaemon_relka_scenario.py"),
                   os.path.join(lab, "pdudaemon-relka.conf"),
                   "relka-box1", "relka-box2"]
        check = check_pdudaemon_relka
    elif args.case == "pdudaemon-relka-names":
        # rack1-top's lab file comes from RELKA_LAB, rack1-bottom's from its
        # entry's "lab": the same file.
        os.environ["RELKA_LAB"] = os.path.join(lab, "lab.toml")
        command = [os.path.join(lab, "pdudaemon_relka_scenario.py"),
                   os.path.join(lab, "pdudaemon-relka-names.conf"),
                   "rack1-top", "rack1-bottom"]
        check = check_pdudaemon_relka
    elif args.case == "lava":
        lava = os.path.join(source, "examples", "lava")
        command = [os.path.join(lab, "lava_scenario.py"),
                   os.path.join(lava, "relka-board-01.jinja2"),
                   os.path.join(lava, "hard-reset-job.yaml")]
        check = check_lava
    else:
        command = [os.path.join(lab, "labgrid_scenario.py"), "pdudaemon",
                   os.path.join(envs, "relka-pdudaemon.yaml"), conf]
        check = check_labgrid_pdudaemon

    status, report = run_sim(args.sim, [DEBIAN_PYTHON, *command], lines=lines)
    checks = Checks()
    check(checks, status, report)
    return verdict(checks)


def verdict(checks):
    """The checker's exit status, said."""
    if checks.failures:
        print(f"check: {len(checks.failures)} check(s) failed")
        return 1
    print("check: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
