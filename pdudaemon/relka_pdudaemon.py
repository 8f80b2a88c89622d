# SPDX-License-Identifier: MIT
"""pdudaemon driver "relka": switches one outlet of a RELKA box per request
by running relkactl, and fails the request when relkactl fails.

pdudaemon's own localcmdline driver runs its command through the shell and
ignores the exit status, so a refused or failed switch leaves no trace in
the request. This driver runs relkactl without a shell and waits for it:
exit status 0 is logged (debug) with the box's new outlets; any other
status raises pdudaemon's FailedRequestException with relkactl's own
message, which pdudaemon logs (and tries again, "retries" times in all,
"retrydelay" seconds apart).

A PDU entry names either a box of relka's lab file

    "rack1-top": {"driver": "relka", "box": "rack1-top",
                  "lab": "/etc/relka/lab.toml", "retries": 1, "retrydelay": 0}

or a device and a box address

    "relka-box1": {"driver": "relka", "device": "/dev/relka", "address": 1,
                   "retries": 1}

"lab" (box only: relkactl's --lab, else RELKA_LAB, else
/etc/relka/lab.toml), "relkactl" (the program, default: relkactl on PATH)
and "wait" (relkactl's --wait, seconds) are optional. pdudaemon's port is
the outlet, 1 to 8. A setting that is missing, doubled or wrong stops
pdudaemon at start, saying which entry and why; so does a box that
"relkactl status" cannot find (a lab file with a mistake, a name it does
not have).
"""

import json
import logging
import os
import shutil
import signal
import subprocess

from pdudaemon.drivers.driver import FailedRequestException, PDUDriver

log = logging.getLogger("pdud.drivers.relka")

DRIVER_NAME = "relka"
# relkactl waits for a busy line up to --wait (its default is 10 s); a run
# that lasts this much longer than that is stuck and is ended.
RELKACTL_DEFAULT_WAIT = 10.0
RUN_MARGIN = 20.0
# How long a relkactl asked to end (SIGTERM, which it holds off until its
# frame is out) gets before it is killed.
END_GRACE = 5.0
MAX_ADDRESS = 127
MAX_WAIT = 86400
# The entry's keys this driver reads, and those pdudaemon reads itself in
# every entry, whatever its driver (pdudaemon 1.x: the driver, how many
# tries and how long between them); those are pdudaemon's to check.
OWN_SETTINGS = ("box", "lab", "device", "address", "relkactl", "wait")
PDUDAEMON_SETTINGS = ("driver", "retries", "retrydelay")


class RelkaConfigError(Exception):
    """A PDU entry for driver relka that cannot work as written."""


def _address(value):
    """A box address from the entry: an integer or a decimal or 0x-hex
    string, 0 to 127; None when it is none of those."""
    if isinstance(value, bool):
        return None
    if isinstance(value, str):
        text = value.strip()
        try:
            value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
        except ValueError:
            return None
    if not isinstance(value, int) or not 0 <= value <= MAX_ADDRESS:
        return None
    return value


def _seconds(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    if not 0 <= value <= MAX_WAIT:
        return None
    return value


def _nonempty_text(settings, key):
    value = settings.get(key)
    if not isinstance(value, str) or not value.strip():
        return None
    return value


def relkactl_target(hostname, settings):
    """The relkactl options that name this entry's box, checked:
    ["--lab", FILE, "--box", NAME] or ["-d", DEVICE, "-a", ADDRESS].
    Raises RelkaConfigError, naming the entry, for anything else."""
    def refuse(why):
        raise RelkaConfigError(f"pdudaemon entry '{hostname}' (driver relka): {why}")

    unknown = sorted(k for k in settings
                     if k not in OWN_SETTINGS and k not in PDUDAEMON_SETTINGS)
    if unknown:
        refuse(f"unknown setting {', '.join(repr(k) for k in unknown)}; "
               f"the driver reads {', '.join(OWN_SETTINGS)} and pdudaemon "
               f"{', '.join(PDUDAEMON_SETTINGS)}")
    has_box = "box" in settings
    has_device = "device" in settings or "address" in settings
    if has_box and has_device:
        refuse("give either \"box\" (a box of the lab file) or \"device\" and "
               "\"address\", not both")
    if has_box:
        box = _nonempty_text(settings, "box")
        if box is None:
            refuse(f"\"box\" must name a box of the lab file: {settings['box']!r}")
        if box.startswith("-"):
            refuse(f"\"box\" is not a box name: {box!r}")
        target = []
        if "lab" in settings:
            lab = _nonempty_text(settings, "lab")
            if lab is None:
                refuse(f"\"lab\" must be the path of a lab file: {settings['lab']!r}")
            if not os.access(lab, os.R_OK):
                refuse(f"the lab file {lab} cannot be read")
            target += ["--lab", lab]
        return target + ["--box", box]
    if has_device:
        if "lab" in settings:
            refuse("\"lab\" goes with \"box\"; with \"device\" and \"address\" "
                   "no lab file is read")
        if "device" not in settings:
            refuse("\"address\" needs \"device\", the serial device the box "
                   "hangs on")
        if "address" not in settings:
            refuse("\"device\" needs \"address\", the box's address (0 to "
                   f"{MAX_ADDRESS})")
        device = _nonempty_text(settings, "device")
        if device is None:
            refuse(f"\"device\" must be a device path: {settings['device']!r}")
        address = _address(settings["address"])
        if address is None:
            refuse(f"\"address\" must be a box address, 0 to {MAX_ADDRESS}: "
                   f"{settings['address']!r}")
        return ["-d", device, "-a", str(address)]
    refuse("name the box: \"box\" (a box of the lab file), or \"device\" and "
           "\"address\"")
    return []  # not reached


def relkactl_program(hostname, settings):
    """The relkactl to run, as an absolute path; RelkaConfigError when
    there is none."""
    name = settings.get("relkactl", "relkactl")
    if not isinstance(name, str) or not name.strip():
        raise RelkaConfigError(f"pdudaemon entry '{hostname}' (driver relka): "
                               f"\"relkactl\" must be a program: {name!r}")
    found = shutil.which(name)
    if found is None:
        where = "is not an executable file" if os.sep in name else "is not on PATH"
        raise RelkaConfigError(f"pdudaemon entry '{hostname}' (driver relka): "
                               f"relkactl ({name}) {where}; install the "
                               "package relka, or set \"relkactl\"")
    return os.path.abspath(found)


def failure_message(stdout, stderr):
    """relkactl's own message: the "error" of the JSON object it prints on
    standard output when it fails, else its last line on standard error."""
    for text in (stdout.strip(), *reversed(stdout.strip().splitlines())):
        try:
            reply = json.loads(text)
        except ValueError:
            continue
        if isinstance(reply, dict) and isinstance(reply.get("error"), str):
            return reply["error"]
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    own = [line for line in lines if line.startswith("relkactl: ")]
    if own:
        return own[-1][len("relkactl: "):]
    if lines:
        return lines[-1]
    return "no message"


def status_words(status):
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        return f"was killed by {name}"
    return f"exited with status {status}"


def outlet_argument(port_number):
    """pdudaemon's port as relkactl's outlet: the number as given (relkactl
    itself refuses one that is not 1 to 8, with its own message)."""
    if isinstance(port_number, bool):
        raise FailedRequestException(f"port {port_number!r} is not an outlet number")
    if isinstance(port_number, int):
        return str(port_number)
    text = str(port_number).strip()
    digits = text[1:] if text[:1] in "+-" else text
    if not digits.isdigit():
        raise FailedRequestException(f"port {port_number!r} is not an outlet number")
    return str(int(text))


class RelkaDriver(PDUDriver):
    """One PDU entry: one RELKA box, its outlets as pdudaemon's ports."""

    def __init__(self, hostname, settings):
        super().__init__()
        self.hostname = hostname
        self.settings = settings
        try:
            self.target = relkactl_target(hostname, settings)
            self.relkactl = relkactl_program(hostname, settings)
            wait = settings.get("wait")
            if wait is not None and _seconds(wait) is None:
                raise RelkaConfigError(
                    f"pdudaemon entry '{hostname}' (driver relka): \"wait\" must "
                    f"be seconds, 0 to {MAX_WAIT}: {wait!r}")
            # Digits and a point, as relkactl reads seconds (never 1e-05).
            self.wait_options = [] if wait is None else [
                "--wait", f"{wait:.6f}".rstrip("0").rstrip(".")]
            self.time_limit = ((RELKACTL_DEFAULT_WAIT if wait is None else wait) +
                               RUN_MARGIN)
            if "box" in settings:
                self._check_box()
        except RelkaConfigError as error:
            log.error("%s", error)
            raise
        log.debug("%s: %s %s", hostname, self.relkactl, " ".join(self.target))

    def _check_box(self):
        """Asks relkactl for the box's state, which reads the lab file and
        needs no device: a lab file with a mistake, or a box it does not
        have, stops pdudaemon now rather than failing every request."""
        argv = [self.relkactl, "--json", *self.target, "status"]
        what = f"pdudaemon entry '{self.hostname}' (driver relka)"
        try:
            stdout, stderr, status = self._run(argv, what)
        except FailedRequestException as error:
            raise RelkaConfigError(str(error)) from None
        if status != 0:
            raise RelkaConfigError(f"{what}: relkactl {' '.join(argv[2:])} "
                                   f"{status_words(status)}: "
                                   f"{failure_message(stdout, stderr)}")
        log.debug("%s: %s", self.hostname, self._state_words(stdout))

    @classmethod
    def accepts(cls, drivername):
        return drivername == DRIVER_NAME

    def command_for(self, command, port_number):
        return [self.relkactl, "--json", *self.wait_options, *self.target,
                command, outlet_argument(port_number)]

    def port_interaction(self, command, port_number):
        if command not in ("on", "off"):
            raise FailedRequestException(f"{self.hostname}: no such request: {command}")
        argv = self.command_for(command, port_number)
        what = f"{self.hostname}: relkactl {command} {argv[-1]}"
        log.debug("%s: running %s", self.hostname, " ".join(argv))
        try:
            stdout, stderr, status = self._run(argv, what)
        except FailedRequestException as error:
            log.error("%s", error)
            raise
        if status != 0:
            message = (f"{what} failed: relkactl {status_words(status)}: "
                       f"{failure_message(stdout, stderr)}")
            log.error("%s", message)
            raise FailedRequestException(message)
        log.debug("%s: done: %s", what, self._state_words(stdout))

    def _run(self, argv, what):
        """relkactl's output and status. A run past the time limit is asked
        to end, then killed; that, or a relkactl that cannot be started,
        fails the request."""
        try:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, errors="replace", close_fds=True)
        except OSError as error:
            raise FailedRequestException(
                f"{what} failed: relkactl cannot be started: {error}") from error
        try:
            stdout, stderr = child.communicate(timeout=self.time_limit)
        except subprocess.TimeoutExpired:
            child.terminate()
            try:
                child.communicate(timeout=END_GRACE)
            except subprocess.TimeoutExpired:
                child.kill()
                child.communicate()
            raise FailedRequestException(
                f"{what} failed: relkactl did not finish within "
                f"{self.time_limit:g} s and was ended") from None
        return stdout, stderr, child.returncode

    @staticmethod
    def _state_words(stdout):
        try:
            state = json.loads(stdout)
            outlets = state["outlets"]
            box = state.get("box_name") or state["box"]
            where = f"box {box} on {state['device']}"
            if not state.get("known"):
                return f"{where}: outlets not known yet"
            on = [n for n in sorted(outlets, key=int) if outlets[n] == "on"]
            return f"{where}: mask {state['mask']:#04x}, on: {', '.join(on) or 'none'}"
        except (ValueError, KeyError, TypeError, AttributeError):
            return stdout.strip() or "no state printed"
