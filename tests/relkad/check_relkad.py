# SPDX-License-Identifier: MIT
"""Runs one of relkad's lab scenarios inside "relka-sim run --json" and
checks, from relka-sim's report, what the virtual boxes received.

    check_relkad.py --sim RELKA-SIM --relkad RELKAD CASE

CASE:
  browser      relkad's web page in headless Chromium through Selenium
  netns        labgrid's NetworkPowerDriver (model rest) from a network
               namespace, with a token; 401 without it, 403 cross-site
  concurrent   relkad's requests and relkactl runs on one box at once
  labgrid-module  the module relka_labgrid (on PYTHONPATH) from the shipped
               environment file, with a token; its exporter example

Exits 77 (skipped) when something the case needs is missing, unless
RELKA_REQUIRE names it (or is "all"): then it fails. The words are relkad
(not built), chromium, chromedriver, selenium, labgrid and netns (root, ip
and veth). All cases use the lab file tests/relkad/lab.toml (in
RELKA_LAB): rack1 is box 1, rack2 box 2, on /dev/relka.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "lab"))

import check_lab as cl  # noqa: E402

SKIPPED = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
CYCLE_US = 1_000_000  # the cycle pause of these scenarios


def netns_missing():
    """Why a network namespace with a veth pair cannot be made here, or
    None. Tried for real, with names of this run, and removed at once."""
    if os.geteuid() != 0:
        return ("network namespaces and veth pairs need root here (ip netns "
                "add mounts under /run/netns)")
    if shutil.which("ip") is None:
        return "ip is missing (Debian package iproute2)"
    name = f"relkad-probe-{os.getpid()}"
    link = f"rkdp{os.getpid() % 100000}"
    tries = [["ip", "netns", "add", name],
             ["ip", "link", "add", link, "type", "veth", "peer", "name",
              link + "b"]]
    why = None
    try:
        for argv in tries:
            done = subprocess.run(argv, capture_output=True, text=True,
                                  timeout=30)
            if done.returncode != 0:
                why = f"{' '.join(argv)}: {done.stderr.strip()}"
                break
    finally:
        subprocess.run(["ip", "link", "del", link], capture_output=True,
                       timeout=30)
        subprocess.run(["ip", "netns", "del", name], capture_output=True,
                       timeout=30)
    return why


def missing_tools(case, relkad):
    missing = []
    if not relkad or not os.access(relkad, os.X_OK):
        missing.append(("relkad", "relkad was not built (it needs "
                        "libmicrohttpd-dev, libsystemd-dev and "
                        "nlohmann-json3-dev)"))
    if case == "browser":
        if not os.access(CHROMIUM, os.X_OK):
            missing.append(("chromium", f"{CHROMIUM} is missing (Debian "
                            "package chromium)"))
        if not os.access(CHROMEDRIVER, os.X_OK):
            missing.append(("chromedriver", f"{CHROMEDRIVER} is missing "
                            "(Debian package chromium-driver)"))
        why = cl.debian_module("selenium.webdriver")
        if why:
            missing.append(("selenium", why + " (Debian package "
                            "python3-selenium)"))
    if case in ("netns", "labgrid-module"):
        why = cl.debian_module("labgrid")
        if why:
            missing.append(("labgrid", why + " (Debian package "
                            "python3-labgrid)"))
    if case == "netns":
        why = netns_missing()
        if why:
            missing.append(("netns", why))
    return missing


def check_pause(checks, frames, box, off, on, what):
    cl.check_pause(checks, frames, box, off, on, what, delay_us=CYCLE_US)


def check_browser(checks, status, report):
    cl.check_common(checks, status, report, [1, 2])
    # rack1: set 0; On web1 (3); Off web1 (the refused confirm sent
    # nothing); keyboard On 2; keyboard Off 2; On web1 with a token; Off
    # web1 as alice of the users file.
    cl.box_frames(checks, report, 1,
                  [0x00, 0x04, 0x00, 0x02, 0x00, 0x04, 0x00],
                  [(1, 3, True), (2, 3, False), (3, 2, True), (4, 2, False),
                   (5, 3, True), (6, 3, False)])
    # rack2: set 0; relkactl on 5; the page's Cycle of 5 (off, 1 s, on);
    # the page's All on of the forgotten box, in one frame.
    frames = cl.box_frames(checks, report, 2, [0x00, 0x10, 0x00, 0x10, 0xff],
                           [(1, 5, True), (2, 5, False), (3, 5, True)])
    check_pause(checks, frames, 2, 2, 3, "the page's cycle")
    cl.check_end(checks, report, 1, 0x00)
    cl.check_end(checks, report, 2, 0xff)


def check_netns(checks, status, report):
    cl.check_common(checks, status, report, [1])
    # rack1: set 0x10 (outlet 5 on, a neighbour); every refused request and
    # labgrid's calls with a wrong token sent nothing; then labgrid's on(),
    # cycle() (off, 1 s, on) and off() of outlet 4.
    frames = cl.box_frames(checks, report, 1, [0x10, 0x18, 0x10, 0x18, 0x10],
                           [(1, 4, True), (2, 4, False), (3, 4, True),
                            (4, 4, False)])
    check_pause(checks, frames, 1, 2, 3, "labgrid's cycle")
    cl.check_end(checks, report, 1, 0x10)


def check_concurrent(checks, status, report, rounds):
    """Box 1: set 0, then rounds of eight changes, each round after a mark
    (a frame to box 2 setting the round's number). relkactl sends each of
    its changes in a frame of its own; relkad may put the changes that
    queued up for the box into one frame. In every round each outlet must
    change once, in the round's direction, and never back."""
    cl.check_common(checks, status, report, [1, 2])
    marks = [f["data"] for f in cl.frames_of(report, 2)]
    checks.expect(marks == list(range(1, rounds + 1)),
                  f"box 2 received the marks 1 to {rounds}: {marks}")
    before, parts = [], [[] for _ in range(rounds)]
    current = -1
    for frame in report["frames"]:
        if frame["box_address"] == 2:
            current += 1
        elif current < 0:
            before.append(frame)
        elif current < rounds:
            parts[current].append(frame)
    checks.expect([f["data"] for f in before] == [0],
                  f"box 1 received set 0 before the first round: "
                  f"{[hex(f['data']) for f in before]}")
    for number, part in enumerate(parts):
        on = number % 2 == 0
        want = 0xff if on else 0x00
        changes = [c for f in part for c in cl.changed(f)]
        switched = sorted(outlet for outlet, _ in changes)
        end = part[-1]["data"] if part else None
        checks.expect(switched == list(range(1, 9)) and
                      all(state == on for _, state in changes) and
                      end == want and 5 <= len(part) <= 8,
                      f"round {number + 1}: {len(part)} frames (5 to 8) "
                      f"switched each outlet once, "
                      f"{'on' if on else 'off'}, ending at {want:#04x}: "
                      f"{[cl.changed(f) for f in part]}, "
                      f"{end if end is None else hex(end)}")
    cl.check_end(checks, report, 1, 0xff if rounds % 2 else 0x00)
    cl.check_end(checks, report, 2, rounds)


def check_labgrid_module(checks, status, report):
    cl.check_common(checks, status, report, [1])
    # rack1: set 0x10 (outlet 5 on); db1's refusals sent nothing to rack2;
    # then web1 (outlet 3): on, cycle with the lab file's 2 s, cycle with
    # the driver's 1 s, off.
    frames = cl.box_frames(checks, report, 1,
                           [0x10, 0x14, 0x10, 0x14, 0x10, 0x14, 0x10],
                           [(1, 3, True), (2, 3, False), (3, 3, True),
                            (4, 3, False), (5, 3, True), (6, 3, False)])
    cl.check_pause(checks, frames, 1, 2, 3, "the lab file's cycle")
    check_pause(checks, frames, 1, 4, 5, "the driver's cycle")
    cl.check_end(checks, report, 1, 0x10)


def leftovers(namespace, link):
    """The namespace or veth end that survived the run, if any; removed."""
    left = []
    if os.path.exists(os.path.join("/run/netns", namespace)):
        left.append(f"namespace {namespace}")
        subprocess.run(["ip", "netns", "del", namespace], capture_output=True,
                       timeout=30)
    if subprocess.run(["ip", "link", "show", link], capture_output=True,
                      timeout=30).returncode == 0:
        left.append(f"link {link}")
        subprocess.run(["ip", "link", "del", link], capture_output=True,
                       timeout=30)
    return left


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--relkad", default="")
    parser.add_argument("case", choices=["browser", "netns", "concurrent",
                                         "labgrid-module"])
    args = parser.parse_args()

    missing = missing_tools(args.case, args.relkad)
    for tool, why in missing:
        print(("FAIL: required, but " if cl.required(tool) else "SKIP: ") +
              why)
    if missing:
        return 1 if any(cl.required(tool) for tool, _ in missing) else SKIPPED

    if args.case == "labgrid-module":
        why = cl.debian_module("relka_labgrid")
        if why:
            print(f"FAIL: the module relka_labgrid is not on PYTHONPATH: {why}")
            return 1
    os.environ["RELKAD"] = os.path.abspath(args.relkad)
    os.environ["RELKA_LAB"] = os.path.join(HERE, "lab.toml")
    scenario = os.path.join(HERE, f"{args.case.replace('-', '_')}_scenario.py")
    command = [cl.DEBIAN_PYTHON, scenario]
    rounds = 5
    if args.case == "netns":
        tag = os.getpid() % 100000
        namespace = f"relkad-test-{os.getpid()}"
        here, there = f"rkd{tag}h", f"rkd{tag}n"
        command += [namespace, here, there]
    elif args.case == "concurrent":
        command += [str(rounds)]
    elif args.case == "labgrid-module":
        source = os.path.dirname(os.path.dirname(HERE))
        examples = os.path.join(source, "examples")
        command += [os.path.join(examples, "labgrid", "relkad-outlet.yaml"),
                    os.path.join(examples, "labgrid", "relkad-exporter.yaml"),
                    os.path.join(examples, "lab.toml")]

    started = time.monotonic()
    # The scenario's temporary folders (relkad's, the browser's profile, the
    # token's) go into one of ours, removed here also when the scenario
    # could not remove them (killed at the time limit, say).
    with tempfile.TemporaryDirectory(prefix="relkad-check.") as folder:
        os.environ["TMPDIR"] = folder
        try:
            status, report = cl.run_sim(args.sim, command)
        finally:
            if args.case == "netns":
                left = leftovers(namespace, here)
    took = time.monotonic() - started
    checks = cl.Checks()
    if args.case == "browser":
        check_browser(checks, status, report)
    elif args.case == "netns":
        check_netns(checks, status, report)
        checks.expect(left == [], f"the namespace and the veth pair were "
                      f"gone after the run: left {left}")
    elif args.case == "labgrid-module":
        check_labgrid_module(checks, status, report)
    else:
        check_concurrent(checks, status, report, rounds)
    print(f"check: the run took {took:.1f} s")
    return cl.verdict(checks)


if __name__ == "__main__":
    sys.exit(main())
