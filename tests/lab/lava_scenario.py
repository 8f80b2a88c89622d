# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (the lines of examples/lab.toml, which is
in RELKA_LAB), as root: Debian's lava-run runs the shipped hard-reset job
on two devices made from the shipped device dictionary, its power commands
as lava-server renders them, relkactl being relka-sim's.

    lava_scenario.py DEVICE-DICTIONARY JOB

The good board (web1: outlet 3 of rack1-top, on with outlet 5 beside it)
completes: a cycle, then LAVA's power off. The other board's outlet (db1,
on rack1-bottom, whose state is not known) makes the job end incomplete,
with relkactl's message in the job's log. What the boxes received is
checked afterwards from relka-sim's report (check_lab.py lava)."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import lab_support as lab

LAVA_RUN = "/usr/bin/lava-run"
# The device dictionary's commands and the keys lava-server renders them as.
COMMANDS = {"power_on_command": "power_on", "power_off_command": "power_off",
            "hard_reset_command": "hard_reset"}


def device_commands(dictionary, relkactl, outlet):
    """The dictionary's power commands for the device configuration, with
    relka-sim's relkactl and the given outlet in place of web1."""
    text = open(dictionary, encoding="utf-8").read()
    commands = {}
    for name, key in COMMANDS.items():
        found = re.search(r"\{%\s*set\s+" + name + r"\s*=\s*'([^']*)'\s*%\}",
                          text)
        if not found or not found.group(1).startswith("/usr/bin/relkactl "):
            raise lab.ScenarioError(f"{dictionary}: no {name} running "
                                    "/usr/bin/relkactl")
        command = found.group(1).replace("/usr/bin/relkactl", relkactl, 1)
        commands[key] = re.sub(r"\bweb1\b", outlet, command)
    if "connection_command" not in text:
        raise lab.ScenarioError(f"{dictionary}: no connection_command")
    return commands


def run_job(folder, job, commands, name):
    """lava-run on job with a device of these commands; its status and the
    log's entries."""
    device = os.path.join(folder, f"{name}.yaml")
    with open(device, "w", encoding="utf-8") as out:
        json.dump({"device_type": "beaglebone-black", "commands": commands,
                   "actions": {"deploy": {"methods": {}},
                               "boot": {"methods": {}}},
                   "timeouts": {"actions": {}, "connections": {}}}, out)
    # The job's own folder under /var/lib/lava/dispatcher/tmp, by a prefix
    # of this run; lava-run removes it at the end.
    dispatcher = os.path.join(folder, "dispatcher.yaml")
    with open(dispatcher, "w", encoding="utf-8") as out:
        json.dump({"prefix": f"relka-test-{os.getpid()}-"}, out)
    argv = [LAVA_RUN, "--job-id", "1", "--output-dir",
            os.path.join(folder, f"{name}-output"), "--device", device,
            "--dispatcher", dispatcher, job]
    print(f"scenario: {' '.join(argv)}", flush=True)
    done = subprocess.run(argv, capture_output=True, text=True, timeout=90,
                          stdin=subprocess.DEVNULL)
    # The job's log: one JSON object a line, on standard error.
    entries = []
    for line in (done.stdout + done.stderr).splitlines():
        try:
            entries.append(json.loads(line))
        except ValueError:
            entries.append({"lvl": "output", "msg": line})
    for entry in entries:
        print(f"lava-run {entry.get('lvl')}: {entry.get('msg')}")
    return done.returncode, entries


def main():
    if len(sys.argv) != 3:
        raise lab.ScenarioError(__doc__)
    dictionary, job = sys.argv[1:]
    relkactl = shutil.which("relkactl")
    lab.must_relkactl("--box", "rack1-top", "set", "0x14")
    refusal = subprocess.run(["relkactl", "on", "db1"], capture_output=True,
                             text=True, timeout=30).stderr.strip()
    if not refusal.startswith("relkactl: "):
        raise lab.ScenarioError(f"relkactl on db1 was not refused: {refusal}")
    # (board, outlet, lava-run's status, the job's result, its log holds)
    cases = [("good", "web1", 0, {"result": "pass"}, ""),
             ("unknown", "db1", 1, {"result": "fail",
                                    "error_type": "Infrastructure"}, refusal)]
    with tempfile.TemporaryDirectory(prefix="relka-lava.") as folder:
        for board, outlet, want, result, logged in cases:
            status, entries = run_job(folder, job, device_commands(
                dictionary, relkactl, outlet), board)
            got = [e["msg"] for e in entries if e.get("lvl") == "results" and
                   isinstance(e.get("msg"), dict) and
                   e["msg"].get("case") == "job"][-1:] or [{}]
            if status != want or any(got[0].get(k) != v
                                     for k, v in result.items()):
                raise lab.ScenarioError(f"{board} board: lava-run {status}, "
                                        f"job {got[0]}; expected {want}, "
                                        f"{result}")
            if not any(logged in str(e.get("msg")) for e in entries):
                raise lab.ScenarioError(f"{board} board: the job's log lacks "
                                        f"{logged!r}")
            print(f"scenario: {board} board: lava-run {status}, job {got[0]}",
                  flush=True)
    lab.must_relkactl("--box", "rack1-top", "status")


if __name__ == "__main__":
    lab.run_scenario(main)
