# SPDX-License-Identifier: MIT
"""Runs inside the test's network namespace (ip netns exec), as another
host would: plain HTTP requests that relkad must refuse, then labgrid's
NetworkPowerDriver (model rest) through relkad's /outlet/BOX/N.

    netns_client.py ADDRESS PORT TOKEN-FILE ENV-FILE

ADDRESS:PORT is relkad's, TOKEN-FILE holds its token, ENV-FILE the labgrid
environment (tests/relkad/labgrid-relkad.yaml) with RELKAD_URL in place
of the URL's start. Nothing this client does may reach a serial line:
the refusals send nothing, and labgrid's calls each switch outlet 4 of
rack1 once (checked from relka-sim's report by check_relkad.py netns)."""

import os
import secrets
import socket
import sys
import tempfile
import time

import relkad_support as rs
from relkad_support import check, say
from lab_support import power_of  # on the path relkad_support set

try:
    import requests
    import labgrid  # noqa: F401 (lab.power_of uses it)
except ImportError as missing:
    raise SystemExit(f"client: {rs.DEBIAN_PYTHON} cannot import labgrid "
                     f"({missing}): install Debian's python3-labgrid")

PATH = "/outlet/rack1/4"


def refusals(address, port, token):
    """401 without the token or with another, 403 for another site's page
    even with it; no body says anything but the refusal."""
    with socket.create_connection((address, port), timeout=10) as probe:
        own = probe.getsockname()[0]
    check(own != address and own.startswith("127.20."),
          f"this client reaches relkad from {own}, another address of the "
          f"loopback range than relkad's {address}")
    status, _, headers = rs.request(address, port, "GET", PATH)
    check(status == 401 and headers.get("www-authenticate", "")
          .startswith("Basic"),
          f"GET {PATH} without the token: {status}, "
          f"WWW-Authenticate {headers.get('www-authenticate')!r}")
    status, _, _ = rs.request(address, port, "PUT", PATH, "1")
    check(status == 401, f"PUT {PATH} 1 without the token: {status}")
    wrong = rs.basic("lab", token[:-1] + ("0" if token[-1] != "0" else "1"))
    status, _, _ = rs.request(address, port, "PUT", PATH, "1",
                              {"Authorization": "Bearer " + token})
    check(status == 401, f"PUT {PATH} 1 with the token as a bearer: {status}")
    status, _, _ = rs.request(address, port, "PUT", PATH, "1",
                              {"Authorization": wrong})
    check(status == 401, f"PUT {PATH} 1 with another token: {status}")
    status, _, _ = rs.request(address, port, "GET", "/api/v1/lab")
    check(status == 401, f"GET /api/v1/lab without the token: {status}")

    right = rs.basic("lab", token)
    evil = {"Authorization": right, "Origin": "http://evil.example",
            "Sec-Fetch-Site": "cross-site"}
    status, body, _ = rs.request(address, port, "PUT", PATH, "1", evil)
    check(status == 403 and "cross-site" in body,
          f"PUT {PATH} 1 from another site's page, with the token: "
          f"{status} {body.strip()!r}")
    # Even a page that sets relkad's own header, on an API route.
    status, body, _ = rs.request(
        address, port, "PUT", "/api/v1/outlets/web1",
        '{"state": "on"}', dict(evil, **{"X-Relkad-Request": "1",
                                         "Content-Type": "application/json"}))
    check(status == 403, f"PUT /api/v1/outlets/web1 from another site's page, "
          f"with the token: {status} {body.strip()!r}")
    status, body, _ = rs.request(address, port, "GET", PATH, None,
                                 {"Authorization": right})
    check(status == 200 and body == "0",
          f"GET {PATH} with the token: {status} {body!r} (off)")


def labgrid_power(env_file, url, folder):
    with open(env_file, encoding="utf-8") as source:
        text = source.read()
    if "RELKAD_URL" not in text:
        raise rs.ScenarioError(f"{env_file} does not name RELKAD_URL")
    path = os.path.join(folder, f"env-{len(os.listdir(folder))}.yaml")
    with open(path, "w", encoding="utf-8") as out:
        out.write(text.replace("RELKAD_URL", url))
    return power_of(path)


def wrong_token(env_file, address, port, token, folder):
    """labgrid with a wrong token: get() raises; on() sends nothing (labgrid
    0.4.1's rest model does not look at a PUT's answer, so on() itself
    returns as if it had worked)."""
    other = secrets.token_hex(16)  # an error shows the URL, token and all
    url = f"http://lab:{other}@{address}:{port}"
    target, power = labgrid_power(env_file, url, folder)
    try:
        try:
            power.get()
            raise rs.ScenarioError("labgrid's get() with a wrong token "
                                   "passed")
        except requests.HTTPError as error:
            check(error.response.status_code == 401,
                  f"labgrid's get() with a wrong token raised {error}")
        try:
            power.on()
            say("labgrid's on() with a wrong token returned without an error "
                "(its rest model ignores the PUT's status); relkad sent "
                "nothing")
        except requests.HTTPError as error:
            say(f"labgrid's on() with a wrong token raised {error}")
    finally:
        target.cleanup()


def on_get_cycle_off(env_file, address, port, token, folder):
    url = f"http://lab:{token}@{address}:{port}"
    target, power = labgrid_power(env_file, url, folder)
    try:
        power.on()
        check(power.get() is True, "labgrid: on(), then get() says on")
        took = time.monotonic()
        power.cycle()
        took = time.monotonic() - took
        check(power.get() is True, f"labgrid: cycle() took {took:.2f} s "
              "(delay 1.0), then get() says on")
        power.off()
        check(power.get() is False, "labgrid: off(), then get() says off")
    finally:
        target.cleanup()


def main():
    if len(sys.argv) != 5:
        raise rs.ScenarioError(__doc__)
    address, port, token_file, env_file = sys.argv[1:]
    port = int(port)
    with open(token_file, encoding="utf-8") as source:
        token = source.readline().strip()
    refusals(address, port, token)
    with tempfile.TemporaryDirectory(prefix="relkad-labgrid.") as folder:
        wrong_token(env_file, address, port, token, folder)
        on_get_cycle_off(env_file, address, port, token, folder)


if __name__ == "__main__":
    rs.run_scenario(main)
