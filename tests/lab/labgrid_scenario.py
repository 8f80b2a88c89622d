# SPDX-License-Identifier: MIT
"""Runs inside "relka-sim run" (line /dev/relka; for pdudaemon, the line of
the lab file in RELKA_LAB): drives a labgrid target's
PowerProtocol (on, cycle, off) from a shipped environment file. What the
box received is checked afterwards from relka-sim's report (check_lab.py).

    labgrid_scenario.py external ENV-FILE
        ExternalPowerDriver on outlet 3 of box 1; first a relkactl that
        fails (box state unknown, then a missing device) must raise.
    labgrid_scenario.py pdudaemon ENV-FILE PDUDAEMON-CONF
        PDUDaemonDriver on outlet 6 of rack1-bottom (box 2 of the lab file
        in RELKA_LAB), through pdudaemon started with the shipped config on
        a free port.
"""

import os
import subprocess
import sys
import tempfile

import lab_support as lab

try:
    import labgrid  # noqa: F401 (lab.power_of uses it)
except ImportError as missing:
    print(f"scenario: {lab.DEBIAN_PYTHON} cannot import labgrid ({missing}): "
          "install Debian's python3-labgrid", file=sys.stderr)
    sys.exit(1)


def rewritten(env_file, old, new, folder):
    """A copy of env_file with the one occurrence of old replaced by new."""
    with open(env_file, encoding="utf-8") as source:
        text = source.read()
    if text.count(old) < 1:
        raise lab.ScenarioError(f"{env_file} does not name {old}")
    path = os.path.join(folder, os.path.basename(env_file))
    with open(path, "w", encoding="utf-8") as out:
        out.write(text.replace(old, new))
    return path


def must_fail(power, status, why):
    try:
        power.on()
    except subprocess.CalledProcessError as error:
        if error.returncode != status:
            raise lab.ScenarioError(f"{why}: labgrid reported status "
                                    f"{error.returncode}, not {status}") from error
        print(f"scenario: {why}: labgrid raised CalledProcessError, "
              f"status {error.returncode}", flush=True)
        return
    raise lab.ScenarioError(f"{why}: on() passed silently")


def external(env_file):
    with tempfile.TemporaryDirectory(prefix="relka-labgrid.") as folder:
        target, power = lab.power_of(env_file)
        # Nothing remembered for web1's box: relkactl refuses (3), sends
        # nothing.
        must_fail(power, 3, "unknown state")
        target.cleanup()
        # The same names on a lab file whose line leads nowhere.
        lab_file = os.environ["RELKA_LAB"]
        os.environ["RELKA_LAB"] = rewritten(lab_file, 'device = "',
                                            'device = "/dev/relka-absent',
                                            folder)
        try:
            target, power = lab.power_of(env_file)
            must_fail(power, 255, "missing device")
            target.cleanup()
        finally:
            os.environ["RELKA_LAB"] = lab_file

    lab.must_relkactl("--box", "rack1-top", "set", "16")  # outlet 5 on, a neighbour
    on_cycle_off(env_file)
    lab.must_relkactl("--box", "rack1-top", "status")


def on_cycle_off(env_file):
    """labgrid's three power calls, the target cleaned up on every path."""
    target, power = lab.power_of(env_file)
    try:
        power.on()
        power.cycle()
        power.off()
    finally:
        target.cleanup()


def pdudaemon(env_file, conf):
    lab.must_relkactl("--box", "rack1-bottom", "set", "0")
    with tempfile.TemporaryDirectory(prefix="relka-labgrid.") as folder:
        with lab.running_pdudaemon(conf) as port:
            env = rewritten(env_file, "127.0.0.1:16421", f"127.0.0.1:{port}",
                            folder)
            on_cycle_off(env)
    lab.must_relkactl("--box", "rack1-bottom", "status")


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else ""
    if mode == "external" and len(sys.argv) == 3:
        external(sys.argv[2])
    elif mode == "pdudaemon" and len(sys.argv) == 4:
        pdudaemon(sys.argv[2], sys.argv[3])
    else:
        raise lab.ScenarioError(__doc__)


if __name__ == "__main__":
    lab.run_scenario(main)
