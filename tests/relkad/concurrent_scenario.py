# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (line /dev/relka, the lab file
tests/relkad/lab.toml in RELKA_LAB, relkad in RELKAD): relkad and relkactl
switch outlets of one box, rack1, at the same moment, and no change may be
lost.

    concurrent_scenario.py ROUNDS

After "relkactl set 0", each round starts eight changes together: four
requests to relkad (threads released by one barrier) and four relkactl
runs, each for one outlet. Even rounds (from 0) switch on, relkad taking
outlets 1-4 (labgrid's route /outlet/rack1/N in round 0, the JSON box API
after) and relkactl 5-8; odd rounds switch off, relkad taking 5-8 and
relkactl 1-4. Before each round, "relkactl -b rack2 set N" (N the round,
from 1) marks its start on the line. Every change must succeed, and relkad
must then say the whole box is on (or off). That every change reached the
line, none lost or undone, in intact frames, is checked afterwards from
relka-sim's report (check_relkad.py concurrent)."""

import json
import subprocess
import sys
import threading
import time

import relkad_support as rs
from relkad_support import check, say


def http_switch(relkad, route, outlet, on):
    if route == "rest":
        return relkad.request("PUT", f"/outlet/rack1/{outlet}",
                              "1" if on else "0")
    body = json.dumps({"state": "on" if on else "off", "outlets": [outlet]})
    return relkad.request("PUT", "/api/v1/boxes/rack1", body,
                          {"Content-Type": "application/json"})


def one_round(relkad, number):
    on = number % 2 == 0
    route = "rest" if number == 0 else "box"
    by_relkad = [1, 2, 3, 4] if on else [5, 6, 7, 8]
    by_relkactl = [5, 6, 7, 8] if on else [1, 2, 3, 4]
    word = "on" if on else "off"
    barrier = threading.Barrier(len(by_relkad) + 1, timeout=30)
    answers = {}
    started = {}

    def send(outlet):
        try:
            barrier.wait()
            started[outlet] = time.monotonic()
            status, body, _ = http_switch(relkad, route, outlet, on)
            if route == "box" and status == 200:
                body = f"mask {json.loads(body)['mask']:#04x}"
            answers[outlet] = (status, body.strip()[:80])
        except Exception as error:  # reported below, as the answer
            answers[outlet] = (None, repr(error))

    threads = [threading.Thread(target=send, args=(outlet,))
               for outlet in by_relkad]
    for thread in threads:
        thread.start()
    runs = []
    try:
        barrier.wait()
        begin = time.monotonic()
        for outlet in by_relkactl:
            started[-outlet] = time.monotonic()
            runs.append((outlet, subprocess.Popen(
                ["relkactl", "-q", "-b", "rack1", word, str(outlet)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True)))
        statuses = {}
        for outlet, run in runs:
            out, err = run.communicate(timeout=60)
            statuses[outlet] = (run.returncode, (out + err).strip())
    finally:
        for _, run in runs:
            if run.poll() is None:
                run.kill()
                run.wait()
        for thread in threads:
            thread.join(timeout=60)
    took = time.monotonic() - begin
    spread = max(started.values()) - min(started.values())
    say(f"round {number + 1}: 8 changes ({word}) started within "
        f"{spread * 1000:.0f} ms, all done after {took:.2f} s")
    check(all(answers.get(o, (None,))[0] == 200 for o in by_relkad),
          f"relkad ({route}) switched outlets {by_relkad} {word}: "
          f"{[(o, answers.get(o)) for o in by_relkad]}")
    check(all(statuses[o][0] == 0 for o in by_relkactl),
          f"relkactl switched outlets {by_relkactl} {word}: "
          f"{[(o, statuses[o]) for o in by_relkactl]}")
    status, body, _ = relkad.request("GET", "/api/v1/boxes/rack1")
    mask = json.loads(body).get("mask") if status == 200 else None
    want = 0xff if on else 0x00
    check(mask == want, f"relkad says rack1's mask is {want:#04x} after round "
          f"{number + 1}: {status} {mask}")


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) == 2 else 3
    start = time.monotonic()
    rs.lab.must_relkactl("-q", "-b", "rack1", "set", "0")
    with rs.running_relkad() as relkad:
        for number in range(rounds):
            # A frame to rack2 (box 2) marks where the round starts in
            # relka-sim's report: relkad may send several of its queued
            # changes of one box in one frame, so a round's frames are not
            # counted but found between two marks.
            rs.lab.must_relkactl("-q", "-b", "rack2", "set", str(number + 1))
            one_round(relkad, number)
    rs.lab.must_relkactl("-b", "rack1", "status")
    say(f"the concurrent scenario took {time.monotonic() - start:.1f} s")


if __name__ == "__main__":
    rs.run_scenario(main)
