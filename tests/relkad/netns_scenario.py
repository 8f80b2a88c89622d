# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" as root (line /dev/relka, the lab file
tests/relkad/lab.toml in RELKA_LAB, relkad in RELKAD): relkad serves
another host, with a token, and labgrid switches through it from there.

    netns_scenario.py NAMESPACE HERE-LINK THERE-LINK

Makes the network namespace NAMESPACE and a veth pair (HERE-LINK here,
THERE-LINK in the namespace) with a 127.20.X.1/30 and 127.20.X.2/30
address (loopback range only), and removes both on every way out. relkad
serves 127.20.X.1 with a token (its refusals to start without one are
relkad_test's), and netns_client.py, run inside the namespace, checks the refusals (401
without the token, 403 from another site's page) and drives labgrid's
NetworkPowerDriver (model rest) on outlet 4 of rack1: on, get, cycle, get,
off, get. What the box received is checked afterwards from relka-sim's
report (check_relkad.py netns)."""

import json
import os
import subprocess
import sys
import tempfile
import time

import relkad_support as rs
from relkad_support import check, say

ENV_TEMPLATE = os.path.join(rs.HERE, "labgrid-relkad.yaml")
CLIENT = os.path.join(rs.HERE, "netns_client.py")


def run_client(namespace, relkad, token_file):
    argv = rs.in_namespace(namespace, [
        rs.DEBIAN_PYTHON, CLIENT, relkad.host, str(relkad.port), token_file,
        ENV_TEMPLATE])
    say("in the namespace: " + " ".join(argv))
    done = subprocess.run(argv, env=rs.plain_environment(), timeout=90,
                          stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise rs.ScenarioError(f"the client in {namespace} exited "
                               f"{done.returncode}")


def main():
    if len(sys.argv) != 4:
        raise rs.ScenarioError(__doc__)
    namespace, here_link, there_link = sys.argv[1:]
    start = time.monotonic()
    # Outlet 5 on as a neighbour that must stay on.
    rs.lab.must_relkactl("-q", "-b", "rack1", "set", "0x10")
    with rs.loopback_namespace(namespace, here_link, there_link) as ns, \
            tempfile.TemporaryDirectory(prefix="relkad-token.") as folder:
        token_file, token = rs.write_token(folder)
        with rs.running_relkad(ns.here, [f"--token-file={token_file}"]) \
                as relkad:
            run_client(namespace, relkad, token_file)
            status, body, _ = relkad.request(
                "GET", "/api/v1/boxes/rack1", None,
                {"Authorization": rs.basic("check", token)})
            box = json.loads(body) if status == 200 else {}
            check(status == 200 and box.get("mask") == 0x10,
                  f"relkad says rack1's mask is 0x10 at the end: {status} "
                  f"{box.get('mask')}")
    rs.lab.must_relkactl("-b", "rack1", "status")
    say(f"the namespace scenario took {time.monotonic() - start:.1f} s")


if __name__ == "__main__":
    rs.run_scenario(main)
