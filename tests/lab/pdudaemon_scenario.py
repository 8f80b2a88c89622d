# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (line /dev/relka, boxes 1 and 2): Debian's
pdudaemon with the shipped config, driven over HTTP. What the boxes
received is checked afterwards from relka-sim's report (check_lab.py);
pdudaemon answers 200 whatever relkactl returned, so the replies prove
nothing about the outlets.

    pdudaemon_scenario.py CONF [REBOOT-DELAY]
"""

import sys
import threading

import lab_support as lab


def request(port, action, pdu, outlet, delay=None):
    path = f"/power/control/{action}?hostname={pdu}&port={outlet}"
    if delay is not None:
        path += f"&delay={delay}"
    status, body = lab.http_get(port, path)
    print(f"scenario: GET {path} -> {status} {body.strip()}", flush=True)
    if status != 200:
        raise lab.ScenarioError(f"{path} answered {status}: {body.strip()}")


def parallel(port, requests):
    """All requests at once, one thread each; every one must have ended."""
    start = threading.Barrier(len(requests))
    errors = []

    def one(args):
        try:
            start.wait(timeout=10)
            request(port, *args)
        except (lab.ScenarioError, OSError, threading.BrokenBarrierError) as error:
            errors.append(f"{args}: {error}")

    threads = [threading.Thread(target=one, args=(args,)) for args in requests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=90)
    if any(thread.is_alive() for thread in threads):
        raise lab.ScenarioError("a parallel request did not end within 90 s")
    if errors:
        raise lab.ScenarioError("; ".join(errors))


def main():
    conf = sys.argv[1]
    delay = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    # Single outlets need a known state: box 1 with outlets 1 and 8 on,
    # box 2 all off.
    lab.must_relkactl("-a", "1", "set", "129")
    lab.must_relkactl("-a", "2", "set", "0")
    with lab.running_pdudaemon(conf) as port:
        request(port, "on", "relka-box1", 3)
        request(port, "off", "relka-box1", 1)
        request(port, "reboot", "relka-box1", 3, delay)
        # relkactl refuses outlet 9 (status 2) and sends nothing; pdudaemon
        # still answers 200.
        request(port, "on", "relka-box1", 9)
        # Both PDU entries at once: pdudaemon runs them in parallel threads,
        # relkactl serializes them on the one line.
        parallel(port, [("on", "relka-box1", 5), ("off", "relka-box1", 8),
                        ("on", "relka-box2", 6), ("on", "relka-box2", 7)])
    lab.must_relkactl("-a", "1", "status")
    lab.must_relkactl("-a", "2", "status")


if __name__ == "__main__":
    lab.run_scenario(main)
