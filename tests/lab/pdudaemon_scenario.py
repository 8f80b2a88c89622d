# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (the line of the example lab file, its boxes
rack1-top and rack1-bottom at addresses 1 and 2, the file in RELKA_LAB):
Debian's pdudaemon with the shipped config (driver relka, by box name),
driven over HTTP. What the boxes received is checked afterwards from
relka-sim's report (check_lab.py); Debian 12's pdudaemon answers 200 also
when the driver failed, so the replies prove nothing about the outlets,
and a refusal is looked for in pdudaemon's log.

    pdudaemon_scenario.py CONF [REBOOT-DELAY]
"""

import sys

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
    lab.all_at_once(lambda *args: request(port, *args), requests)


def main():
    conf = sys.argv[1]
    delay = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    # Single outlets need a known state: rack1-top (box 1) with outlets 1
    # and 8 on, rack1-bottom (box 2) all off.
    lab.must_relkactl("--box", "rack1-top", "set", "129")
    lab.must_relkactl("--box", "rack1-bottom", "set", "0")
    with lab.pdudaemon_with_log(conf) as daemon:
        port = daemon.port
        request(port, "on", "rack1-top", 3)
        request(port, "off", "rack1-top", 1)
        request(port, "reboot", "rack1-top", 3, delay)
        # relkactl refuses outlet 9 (status 2) and sends nothing; the driver
        # fails the request with relkactl's message (one try: "retries" 1),
        # and Debian 12's pdudaemon still answers 200.
        request(port, "on", "rack1-top", 9)
        refusal = ("rack1-top: relkactl on 9 failed: relkactl exited with "
                   "status 2: '9' is not an outlet")
        if refusal not in daemon.log():
            raise lab.ScenarioError(f"pdudaemon's log lacks: {refusal}")
        print(f"scenario: logged: {refusal}", flush=True)
        # Both PDU entries at once: pdudaemon runs them in parallel threads,
        # relkactl serializes them on the one line.
        parallel(port, [("on", "rack1-top", 5), ("off", "rack1-top", 8),
                        ("on", "rack1-bottom", 6), ("on", "rack1-bottom", 7)])
    lab.must_relkactl("--box", "rack1-top", "status")
    lab.must_relkactl("--box", "rack1-bottom", "status")


if __name__ == "__main__":
    lab.run_scenario(main)
