# SPDX-License-Identifier: MIT
"""The pdudaemon driver "relka" without a box: its entry point as pdudaemon
looks it up, the relkactl command lines it builds, what it makes of
relkactl's failures (with a stand-in relkactl, a shell script that records
its arguments), and the PDU entries that Debian's pdudaemon must refuse at
start.

    driver_test.py --lab-support TESTS-LAB-FOLDER [--relkactl RELKACTL]
                   [unittest options]

With --relkactl, the check of a box name at start is also tried with the
real relkactl (which reads the lab file and opens no device).

Runs under /usr/bin/python3 with the build tree's driver folder on
PYTHONPATH. Exits 77 (skipped) when pdudaemon is missing, unless
RELKA_REQUIRE names pdudaemon (or is "all").
"""

import argparse
import json
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SKIPPED = 77


def required(tool):
    words = os.environ.get("RELKA_REQUIRE", "").split()
    return tool in words or "all" in words


try:
    import pdudaemon.drivers.driver as pdu_driver
except ImportError as missing:
    if required("pdudaemon"):
        print(f"FAIL: required, but {sys.executable} cannot import pdudaemon: {missing}")
        sys.exit(1)
    print(f"SKIP: {sys.executable} cannot import pdudaemon ({missing}): "
          "install Debian's pdudaemon")
    sys.exit(SKIPPED)

import relka_pdudaemon as relka  # noqa: E402 (after the skip)

lab = None  # tests/lab/lab_support, imported in main()
real_relkactl = None  # --relkactl

STAND_IN = """#!/bin/sh
# relkactl stand-in: records its arguments, then does what $0.do says.
for arg in "$@"; do printf '%s\\n' "$arg"; done >"$0.argv"
. "$0.do"
"""


class StandIn:
    """A relkactl that records its arguments and runs a given shell body."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "relkactl")
        with open(self.path, "w", encoding="utf-8") as script:
            script.write(STAND_IN)
        os.chmod(self.path, 0o755)
        self.does("exit 0")

    def does(self, body):
        with open(self.path + ".do", "w", encoding="utf-8") as do:
            do.write(body + "\n")

    def argv(self):
        with open(self.path + ".argv", encoding="utf-8") as recorded:
            return recorded.read().splitlines()


class Base(unittest.TestCase):
    def setUp(self):
        folder = tempfile.mkdtemp(prefix="relka-driver.")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.folder = folder
        self.relkactl = StandIn(folder)

    def driver(self, **settings):
        settings.setdefault("relkactl", self.relkactl.path)
        return relka.RelkaDriver("pdu", {"driver": "relka", **settings})

    def refused(self, why, **settings):
        with self.assertRaises(relka.RelkaConfigError) as caught, \
                self.assertLogs("pdud.drivers.relka", logging.ERROR):
            self.driver(**settings)
        self.assertIn("pdudaemon entry 'pdu' (driver relka)", str(caught.exception))
        self.assertIn(why, str(caught.exception))


class EntryPoint(unittest.TestCase):
    def test_pdudaemon_selects_the_driver_by_its_entry_point(self):
        import pkg_resources
        points = list(pkg_resources.iter_entry_points("pdudaemon.driver", "relka"))
        self.assertEqual(len(points), 1, points)
        self.assertEqual(points[0].module_name, "relka_pdudaemon")
        self.assertEqual(points[0].dist.project_name, "relka-pdudaemon")
        self.assertIs(pdu_driver.PDUDriver.select("relka"), relka.RelkaDriver)
        self.assertFalse(relka.RelkaDriver.accepts("localcmdline"))


class Settings(Base):
    def test_command_lines(self):
        """What relkactl is asked at start (a box's status) and per request."""
        lab_file = os.path.join(self.folder, "lab.toml")
        open(lab_file, "w", encoding="utf-8").close()
        cases = [
            ({"box": "rack1-top"}, ["--json", "--box", "rack1-top", "status"],
             ("on", 3), ["--json", "--box", "rack1-top", "on", "3"]),
            ({"box": "rack1-top", "lab": lab_file, "wait": 2.5},
             ["--json", "--lab", lab_file, "--box", "rack1-top", "status"],
             ("off", 8), ["--json", "--wait", "2.5", "--lab", lab_file,
                          "--box", "rack1-top", "off", "8"]),
            ({"device": "/dev/relka", "address": "0x7f", "retries": 1,
              "retrydelay": 0}, None,
             ("on", 3), ["--json", "-d", "/dev/relka", "-a", "127", "on", "3"]),
        ]
        for settings, at_start, request, command in cases:
            with self.subTest(settings=settings):
                if os.path.exists(self.relkactl.path + ".argv"):
                    os.remove(self.relkactl.path + ".argv")
                driver = self.driver(**settings)
                if at_start is not None:
                    self.assertEqual(self.relkactl.argv(), at_start)
                self.assertEqual(driver.command_for(*request)[1:], command)
        self.assertEqual(self.driver(box="b", wait=2.5).time_limit,
                         2.5 + relka.RUN_MARGIN)

    def test_relkactl_from_path(self):
        path = os.environ.get("PATH", "")
        os.environ["PATH"] = self.folder + os.pathsep + path
        self.addCleanup(os.environ.__setitem__, "PATH", path)
        driver = relka.RelkaDriver("pdu", {"driver": "relka", "box": "b"})
        self.assertEqual(driver.relkactl, self.relkactl.path)

    def test_entries_that_cannot_work_are_refused(self):
        none = os.path.join(self.folder, "none")
        cases = [
            ("name the box", {}),
            ("not both", {"box": "rack1-top", "device": "/dev/relka", "address": 1}),
            ("not both", {"box": "rack1-top", "address": 1}),
            ("\"device\" needs \"address\"", {"device": "/dev/relka"}),
            ("\"lab\" goes with \"box\"",
             {"device": "/dev/relka", "address": 1, "lab": "/etc/relka/lab.toml"}),
            ("cannot be read", {"box": "b", "lab": none}),
            ("unknown setting 'adress'", {"device": "/dev/relka", "adress": 1}),
            ("\"wait\" must be seconds", {"box": "b", "wait": "10"}),
            ("\"wait\" must be seconds", {"box": "b", "wait": -1}),
            ("is not an executable file", {"box": "b", "relkactl": none}),
            ("is not on PATH", {"box": "b", "relkactl": "relkactl-none"}),
        ]
        cases += [("\"address\" must be a box address, 0 to 127",
                   {"device": "/dev/relka", "address": address})
                  for address in (128, -1, "one", True, 1.5, None, "0x80")]
        cases += [("\"box\"", {"box": box}) for box in ("", 3, None, "-d")]
        for why, settings in cases:
            with self.subTest(settings=settings):
                self.refused(why, **settings)

    def test_box_that_relkactl_cannot_find(self):
        self.relkactl.does(
            """echo '{"error":"'"'rack1-tp' is not a box in /etc/relka/lab.toml"'","""
            """"status":2,"device":"/dev/relka","terminal":"","identity":"","box":0}'
            exit 2""")
        self.refused("relkactl --box rack1-tp status exited with status 2: "
                     "'rack1-tp' is not a box in /etc/relka/lab.toml", box="rack1-tp")

    def test_box_names_with_the_real_relkactl(self):
        if real_relkactl is None:
            self.skipTest("no --relkactl given")
        lab_file = os.path.join(self.folder, "lab.toml")
        with open(lab_file, "w", encoding="utf-8") as out:
            out.write('[line.bench]\ndevice = "/dev/relka-none"\n'
                      '[box.rack1-top]\nline = "bench"\naddress = 1\n')
        state = os.path.join(self.folder, "state")
        os.mkdir(state)
        os.environ["RELKA_STATE_DIR"] = state
        self.addCleanup(os.environ.pop, "RELKA_STATE_DIR")
        with self.assertLogs("pdud.drivers.relka", logging.DEBUG) as logged:
            driver = self.driver(box="rack1-top", lab=lab_file, relkactl=real_relkactl)
        self.assertIn("pdu: box rack1-top on /dev/relka-none: outlets not known yet",
                      "\n".join(logged.output))
        self.assertEqual(driver.target, ["--lab", lab_file, "--box", "rack1-top"])
        self.refused(f"relkactl --lab {lab_file} --box rack1-tp status exited with "
                     f"status 2: 'rack1-tp' is not a box in {lab_file} (did you mean "
                     "rack1-top?)", box="rack1-tp", lab=lab_file, relkactl=real_relkactl)
        with open(lab_file, "a", encoding="utf-8") as out:
            out.write("[box.broken]\n")
        self.refused(f"relkactl --lab {lab_file} --box rack1-top status exited with "
                     f"status 2: {lab_file}", box="rack1-top", lab=lab_file,
                     relkactl=real_relkactl)


class Requests(Base):
    STATE = {"device": "/dev/relka", "terminal": "ttyUSB0", "identity": "x",
             "box": 1, "known": True, "mask": 0x84,
             "outlets": {str(n): "on" if n in (3, 8) else "off" for n in range(1, 9)},
             "set_at": "2026-01-01T00:00:00Z"}

    def failing(self, port=3):
        driver = self.driver(device="/dev/relka", address=1)
        with self.assertRaises(pdu_driver.FailedRequestException) as caught, \
                self.assertLogs("pdud.drivers.relka", logging.ERROR) as logged:
            driver.handle("on", port)
        message = str(caught.exception)
        self.assertIn(message, "\n".join(logged.output))
        return message

    def test_on_runs_relkactl_without_a_shell_and_logs_the_state(self):
        self.relkactl.does(f"echo '{json.dumps(self.STATE)}'")
        driver = self.driver(device="/dev/relka", address=1)
        with self.assertLogs("pdud.drivers.relka", logging.DEBUG) as logged:
            driver.handle("on", 3)
        self.assertEqual(self.relkactl.argv(),
                         ["--json", "-d", "/dev/relka", "-a", "1", "on", "3"])
        self.assertIn("pdu: relkactl on 3: done: box 1 on /dev/relka: mask 0x84, "
                      "on: 3, 8", "\n".join(logged.output))
        driver.handle("off", "8")
        self.assertEqual(self.relkactl.argv()[-2:], ["off", "8"])

    def test_a_failure_carries_relkactl_own_message(self):
        """From the JSON error, else relkactl's last line on stderr, else
        stderr's last line."""
        cases = [
            ("""echo '{"error":"the outlets of box 1 on /dev/relka are not known","""
             """"status":3,"device":"/dev/relka","terminal":"","identity":"","box":1}'
             echo 'relkactl: the outlets of box 1 on /dev/relka are not known' >&2
             exit 3""",
             "pdu: relkactl on 3 failed: relkactl exited with status 3: "
             "the outlets of box 1 on /dev/relka are not known"),
            ("""echo 'rs232::open: cannot open device [/dev/x]' >&2
             echo 'relkactl: first' >&2
             echo "relkactl: '9' is not an outlet" >&2
             echo "Try 'relkactl --help' for more information." >&2
             exit 2""", "status 2: '9' is not an outlet"),
            ("echo 'something else' >&2; exit 1", "status 1: something else"),
            ("exit 4", "status 4: no message"),
            ("kill -KILL $$", "relkactl was killed by SIGKILL"),
        ]
        for body, said in cases:
            with self.subTest(said=said):
                self.relkactl.does(body)
                self.assertIn(said, self.failing())

    def test_stuck_relkactl_is_ended(self):
        self.relkactl.does("exec sleep 60")
        driver = self.driver(device="/dev/relka", address=1)
        driver.time_limit = 0.3
        started = time.monotonic()
        with self.assertRaises(pdu_driver.FailedRequestException) as caught, \
                self.assertLogs("pdud.drivers.relka", logging.ERROR):
            driver.handle("on", 3)
        self.assertLess(time.monotonic() - started, relka.END_GRACE)
        self.assertIn("did not finish within 0.3 s", str(caught.exception))

    def test_port_that_is_no_number_runs_nothing(self):
        driver = self.driver(device="/dev/relka", address=1)
        for port in ("3; touch x", "-d", "", True):
            with self.subTest(port=port):
                with self.assertRaises(pdu_driver.FailedRequestException):
                    driver.handle("on", port)
        self.assertFalse(os.path.exists(self.relkactl.path + ".argv"))

    def test_relkactl_gone_after_start(self):
        driver = self.driver(device="/dev/relka", address=1)
        os.remove(self.relkactl.path)
        with self.assertRaises(pdu_driver.FailedRequestException) as caught, \
                self.assertLogs("pdud.drivers.relka", logging.ERROR):
            driver.handle("on", 3)
        self.assertIn("relkactl cannot be started", str(caught.exception))


class PdudaemonStart(Base):
    """Debian's pdudaemon with a PDU entry the driver refuses (the entries
    themselves are Settings' table): it stops at start, with the driver's
    message in its log, and never listens."""

    def test_refused_entry_stops_pdudaemon(self):
        self.relkactl.does("echo \"relkactl: 'nope' is not a box\" >&2; exit 2")
        port = lab.free_port()
        conf = os.path.join(self.folder, "pdudaemon.conf")
        with open(conf, "w", encoding="utf-8") as out:
            json.dump({"daemon": {"hostname": "127.0.0.1", "port": port,
                                  "listener": "http"},
                       "pdus": {"bad": {"driver": "relka", "box": "nope",
                                        "relkactl": self.relkactl.path}}},
                      out)
        log_path = os.path.join(self.folder, "pdudaemon.log")
        with open(log_path, "wb") as log:
            daemon = subprocess.Popen([lab.DEBIAN_PYTHON, lab.PDUDAEMON, "--conf", conf],
                                      stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL)
        try:
            status = daemon.wait(timeout=30)
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait(timeout=10)
        with open(log_path, encoding="utf-8", errors="replace") as log:
            said = log.read()
        print(f"\n--- pdudaemon's log ---\n{said.rstrip()}")
        self.assertNotEqual(status, 0)
        self.assertIn("pdudaemon entry 'bad' (driver relka): relkactl --box nope "
                      "status exited with status 2: 'nope' is not a box", said)
        self.assertFalse(lab.port_answers(port))


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--lab-support", required=True)
    parser.add_argument("--relkactl")
    args, rest = parser.parse_known_args()
    sys.path.insert(0, os.path.abspath(args.lab_support))
    global lab, real_relkactl
    real_relkactl = args.relkactl
    import lab_support
    lab = lab_support
    if not os.path.exists(lab.PDUDAEMON):
        if required("pdudaemon"):
            print(f"FAIL: required, but {lab.PDUDAEMON} is missing")
            return 1
        print(f"SKIP: {lab.PDUDAEMON} is missing (Debian package pdudaemon)")
        return SKIPPED
    print(f"driver: {relka.__file__}")
    done = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    return 0 if done.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
