# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (line /dev/relka, tests/relkad/lab.toml in
RELKA_LAB, relkad in RELKAD, relka_labgrid on PYTHONPATH): labgrid through
relka_labgrid from the shipped environment file, the token named in its
options, against relkad serving the lab file plus db1 (rack2's outlet 6,
state unknown).

    labgrid_module_scenario.py ENV-FILE EXPORTER-CONFIG EXAMPLE-LAB

db1's on() raises with relkad's 409 and message, get() on the unknown
state. web1 (rack1's outlet 3, outlet 5 on beside it), leased to labgrid
while its driver is active (another user's switch is 423): on, get, cycle (the
lab file's pause), cycle (the driver's 1 s), off, get; nothing labgrid
printed or logged holds the token. The exporter's configuration is the
module's output for EXAMPLE-LAB, and a client makes RelkadOutlets of its
entries as the exporter publishes them (a plain entry, as written)."""

import contextlib
import io
import json
import logging
import os
import shutil
import sys
import tempfile

import relkad_support as rs
from relkad_support import check
from lab_support import power_of  # on the path relkad_support set

from labgrid import target_factory
from labgrid.driver.exception import ExecutionError
from labgrid.remote.common import ResourceEntry
from labgrid.remote.config import ResourceConfig
import relka_labgrid

EXAMPLE_URL = "http://lab-host.example:8080"
EXAMPLE_TOKEN = "~/.config/relkad/lab-host.token"


def environment(template, folder, relkad, token_file, outlet):
    text = open(template, encoding="utf-8").read()
    for old, new in ((EXAMPLE_URL, relkad.base), (EXAMPLE_TOKEN, token_file),
                     ("outlet: web1", f"outlet: {outlet}")):
        check(old in text, f"{template} names {old}")
        text = text.replace(old, new)
    path = os.path.join(folder, f"{outlet}.yaml")
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    return path


def refused(call, words, what):
    try:
        call()
    except ExecutionError as error:
        check(words in error.msg,
              f"{what} raised ExecutionError saying {words!r}: {error.msg}")
        return error.msg
    raise rs.ScenarioError(f"{what} passed silently")


def lease_of(relkad, token, outlet):
    status, body, _ = relkad.request(
        "GET", f"/api/v1/outlets/{outlet}",
        headers={"Authorization": rs.basic("someone", token)})
    return status, json.loads(body).get("lease")


def switch(env_web1, env_db1, relkad, token):
    target, power = power_of(env_db1)
    refused(power.on, "409: the outlets of box rack2 are not known", "on()")
    refused(power.get, "(unknown)", "get()")
    target.cleanup()
    target, power = power_of(env_web1)
    try:
        status, lease = lease_of(relkad, token, "web1")
        check(status == 200 and (lease or {}).get("holder") == "labgrid",
              f"the active driver holds a lease on web1: {lease}")
        status, _, _ = relkad.request(
            "PUT", "/api/v1/outlets/web1", '{"state":"off"}',
            {"Authorization": rs.basic("someone", token),
             "X-Relkad-Request": "1"})
        check(status == 423, f"another user's switch of web1 is 423 ({status})")
        power.on()
        check(power.get() is True, "get() answers on after on()")
        power.cycle()
        power.delay = 1.0
        power.cycle()
        power.off()
        check(power.get() is False, "get() answers off after off()")
    finally:
        target.cleanup()
    check(lease_of(relkad, token, "web1") == (200, None),
          "the lease on web1 ended with labgrid's cleanup")


def exporter_example(config_path, lab_path):
    made = relka_labgrid.exporter_config(lab_path, EXAMPLE_URL)
    check(made == open(config_path, encoding="utf-8").read(),
          f"{config_path} is the module's output for {lab_path}")
    for group, resources in ResourceConfig(config_path).data.items():
        for cls, params in resources.items():
            entry = ResourceEntry({"avail": True, "cls": cls, "params": params})
            made = target_factory.make_resource(None, cls, cls, entry.args)
            check(isinstance(made, relka_labgrid.RelkadOutlet) and
                  made.outlet == group, f"the exporter's {group}/{cls} is a "
                  f"RelkadOutlet for outlet {group}")


def main():
    if len(sys.argv) != 4:
        raise rs.ScenarioError(__doc__)
    env_template, exporter, example_lab = sys.argv[1:]
    exporter_example(exporter, example_lab)
    rs.lab.must_relkactl("-q", "-b", "rack1", "set", "0x10")
    with tempfile.TemporaryDirectory(prefix="relkad-labgrid.") as folder:
        lab_file = os.path.join(folder, "lab.toml")
        shutil.copy(rs.LAB_FILE, lab_file)
        with open(lab_file, "a", encoding="utf-8") as lab:
            lab.write('\n[outlet.db1]\nbox = "rack2"\noutlet = 6\n')
        token_file, token = rs.write_token(folder)
        with rs.running_relkad(arguments=[f"--token-file={token_file}"],
                               lab_file=lab_file) as relkad:
            envs = [environment(env_template, folder, relkad, token_file, name)
                    for name in ("web1", "db1")]
            output = io.StringIO()
            logging.basicConfig(stream=output, level=logging.DEBUG)
            try:
                with contextlib.redirect_stdout(output), \
                        contextlib.redirect_stderr(output):
                    switch(*envs, relkad, token)
            finally:
                sys.stdout.write(output.getvalue())
            check(token not in output.getvalue() and
                  token not in relkad.log(),
                  "neither labgrid's output nor relkad's log holds the token")
    rs.lab.must_relkactl("-b", "rack1", "status")


if __name__ == "__main__":
    rs.run_scenario(main)
