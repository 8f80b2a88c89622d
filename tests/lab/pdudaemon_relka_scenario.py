# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (line /dev/relka, boxes 1 and 2): Debian's
pdudaemon with the driver "relka" (from PYTHONPATH), driven over HTTP.
Two requests that relkactl refuses must fail in pdudaemon, with relkactl's
own message in its log; the others switch their outlets. What the boxes
received is checked afterwards from relka-sim's report (check_lab.py).

    pdudaemon_relka_scenario.py CONF PDU-1 PDU-2

PDU-1 and PDU-2 are CONF's entries for box addresses 1 and 2, by device
and address or by box name (the lab file from the entry's "lab", a path
relative to CONF's folder here, or from RELKA_LAB).
"""

import importlib.metadata
import json
import os
import re
import subprocess
import sys
import tempfile

import lab_support as lab

# pdudaemon before 1.1 answers 200 whatever the driver did; later ones 500.
FIRST_FAILING_VERSION = (1, 1)


def with_lab_paths(conf, folder):
    """CONF's PDU entries, their "lab" made absolute from CONF's folder,
    written to folder; the new file's path and its entries."""
    with open(conf, encoding="utf-8") as source:
        settings = json.load(source)
    for entry in settings["pdus"].values():
        if "lab" in entry:
            entry["lab"] = os.path.join(os.path.dirname(os.path.abspath(conf)),
                                        entry["lab"])
    path = os.path.join(folder, os.path.basename(conf))
    with open(path, "w", encoding="utf-8") as out:
        json.dump(settings, out)
    return path, settings["pdus"]


def box_label(entry, address):
    """How the driver's log names the box: its name, else its address."""
    return entry.get("box", str(address))


def target(entry):
    """relkactl's options for a PDU entry's box, as the driver should use them."""
    if "box" in entry:
        lab_file = ["--lab", entry["lab"]] if "lab" in entry else []
        return [*lab_file, "--box", entry["box"]]
    return ["-d", entry["device"], "-a", str(entry["address"])]


def relkactl_refusal(args):
    """relkactl's own message and status for a command it must refuse."""
    done = subprocess.run(["relkactl", "--json", *args], capture_output=True,
                          text=True, timeout=30)
    if done.returncode == 0:
        raise lab.ScenarioError(f"relkactl {' '.join(args)} was not refused")
    message = json.loads(done.stdout)["error"]
    print(f"scenario: relkactl {' '.join(args)} -> {done.returncode}: {message}",
          flush=True)
    return done.returncode, message


def failure_answer():
    """The HTTP status that the pdudaemon this interpreter runs gives a
    request whose driver failed, from that pdudaemon's own version."""
    version = importlib.metadata.version("pdudaemon")
    numbers = tuple(int(part) for part in
                    re.findall(r"\d+", version)[:len(FIRST_FAILING_VERSION)])
    older = numbers < FIRST_FAILING_VERSION
    answer = 200 if older else 500
    print(f"scenario: pdudaemon {version}: a failed request should answer "
          f"{answer}", flush=True)
    return answer


def request(port, action, pdu, outlet, expect=200):
    path = f"/power/control/{action}?hostname={pdu}&port={outlet}"
    status, body = lab.http_get(port, path)
    print(f"scenario: GET {path} -> {status} {body.strip()}", flush=True)
    if expect is not None and status != expect:
        raise lab.ScenarioError(f"{path} answered {status}, not {expect}: "
                                f"{body.strip()}")
    return status


def parallel(port, requests):
    lab.all_at_once(lambda *args: request(port, *args), requests)


def expect_logged(log, line):
    if line not in log:
        raise lab.ScenarioError(f"pdudaemon's log lacks: {line}")
    print(f"scenario: logged: {line}", flush=True)


def main():
    with tempfile.TemporaryDirectory(prefix="relka-driver-conf.") as folder:
        conf, pdus = with_lab_paths(sys.argv[1], folder)
        scenario(conf, pdus, *sys.argv[2:4])


def scenario(conf, pdus, one, two):
    first, second = target(pdus[one]), target(pdus[two])

    # Box 1 from a known state; box 2's state stays unknown for now.
    lab.must_relkactl(*first, "set", "0")
    # What relkactl says to the two requests it must refuse, asked directly
    # (refused, they send nothing).
    unknown = relkactl_refusal([*second, "on", "3"])
    no_outlet = relkactl_refusal([*first, "on", "9"])
    answer = failure_answer()

    with lab.pdudaemon_with_log(conf) as daemon:
        # In parallel: two entries, two workers, one 5 s pause after each
        # failed try, taken side by side.
        parallel(daemon.port, [("on", two, 3, answer), ("on", one, 9, answer)])
        log = daemon.log()
        expect_logged(log, f"{two}: relkactl on 3 failed: relkactl exited with "
                      f"status {unknown[0]}: {unknown[1]}")
        expect_logged(log, f"{one}: relkactl on 9 failed: relkactl exited with "
                      f"status {no_outlet[0]}: {no_outlet[1]}")
        expect_logged(log, "Failed to execute job: 3 on (attempts left 0)")

        lab.must_relkactl(*second, "set", "0")
        request(daemon.port, "on", one, 3)
        request(daemon.port, "on", two, 5)
        request(daemon.port, "on", one, 8)
        request(daemon.port, "off", one, 3)
        request(daemon.port, "on", two, 6)
        log = daemon.log()
        failures = log.count("Failed to execute job")
        if failures != 2:
            raise lab.ScenarioError(f"pdudaemon logged {failures} failed jobs, "
                                    "not the 2 refusals")
        expect_logged(log, f"{one}: relkactl off 3: done: box "
                      f"{box_label(pdus[one], 1)} on /dev/relka: mask 0x80, on: 8")
        expect_logged(log, f"{two}: relkactl on 6: done: box "
                      f"{box_label(pdus[two], 2)} on /dev/relka: mask 0x30, on: 5, 6")
    lab.must_relkactl(*first, "status")
    lab.must_relkactl(*second, "status")


if __name__ == "__main__":
    lab.run_scenario(main)
