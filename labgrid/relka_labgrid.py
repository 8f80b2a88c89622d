# SPDX-License-Identifier: MIT
"""labgrid's power for RELKA outlets, through relkad's JSON API.

An environment file loads this module with

    imports:
      - relka_labgrid

and names the outlet and the driver:

    targets:
      main:
        resources:
          RelkadOutlet:
            url: http://lab-host:8080
            outlet: web1
        drivers:
          RelkadPowerDriver:
            token_file: ~/.config/relkad/lab-host.token   # optional

The resource holds nothing secret: the coordinator shows every resource to
every user. relkad's token comes from the user's side only: the driver's
"token_file", else the environment's option "relkad_token_file", else the
file in $RELKAD_TOKEN_FILE; none of them means no token.

Every request is one HTTP request with a time limit: on() and off() a PUT
of the outlet's state, cycle() one POST of .../cycle (relkad holds the
pause, with the driver's "delay" when it has one, else the lab file's),
get() a GET. Whatever relkad refuses raises labgrid's ExecutionError with
relkad's own message after its status ("409: the outlets of box rack4 are
not known ..."); get() raises on an unknown state rather than answer off.

Where relkad offers leases (POST and DELETE .../lease), the driver takes
one on its outlet when labgrid activates it and ends it when labgrid
deactivates it, so that a labgrid place lock holds at relkad too; a relkad
without the route ("no such path") is used without one.

On the exporter's host, "python3 -m relka_labgrid LAB-FILE URL" prints
labgrid-exporter's configuration for the named outlets of relka's lab file:
one resource group per outlet, named after it, with a RelkadOutlet.

Standard library and labgrid only; the same code runs on Debian 12's
labgrid (0.4) and on labgrid's current releases, which both register
attrs classes with target_factory.
"""

import base64
import json
import os
import socket
import sys
import tomllib
import urllib.error
import urllib.parse
import urllib.request

import attr

from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import PowerProtocol, ResetProtocol
from labgrid.resource.common import Resource
from labgrid.step import step

# relkad refuses bodies over 4 KB; its answers are a few hundred bytes.
MAX_ANSWER = 64 * 1024
# A token file is one line.
MAX_TOKEN_FILE = 4096
TOKEN_ENVIRONMENT = "RELKAD_TOKEN_FILE"
TOKEN_OPTION = "relkad_token_file"
# What today's relkad answers for a route it does not have.
NO_ROUTE = "no such path"


def _registered(register, kind):
    """register (target_factory.reg_resource or reg_driver), except that a
    class of that name already registered (this module loaded a second time
    from its path) is left as it is."""
    def once(cls):
        if cls.__name__ in getattr(target_factory, kind):
            return cls
        return register(cls)
    return once


def check_url(url):
    """Raises ValueError unless url is relkad's base URL, http://HOST:PORT
    (or https), without credentials."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"RelkadOutlet: url must be http://HOST:PORT: "
                         f"{url!r}")
    if parts.username or parts.password:
        raise ValueError("RelkadOutlet: the url carries no credentials; "
                         "give the driver a token file")


@_registered(target_factory.reg_resource, "resources")
@attr.s(eq=False)
class RelkadOutlet(Resource):
    """One outlet of relkad's lab file.

    Args:
        url (str): relkad's base URL, http://HOST:PORT
        outlet (str): the outlet's name in relkad's lab file
    """
    url = attr.ib(validator=attr.validators.instance_of(str))
    outlet = attr.ib(validator=attr.validators.instance_of(str))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        check_url(self.url)
        if not self.outlet or "/" in self.outlet:
            raise ValueError(f"RelkadOutlet: not an outlet name: "
                             f"{self.outlet!r}")


def read_token(path):
    """The token: the first line of the file at path."""
    path = os.path.expanduser(path)
    try:
        with open(path, "rb") as source:
            text = source.read(MAX_TOKEN_FILE + 1)
    except OSError as error:
        raise ExecutionError(f"cannot read the token file {path}: "
                             f"{error.strerror}") from None
    if len(text) > MAX_TOKEN_FILE:
        raise ExecutionError(f"the token file {path} is larger than "
                             f"{MAX_TOKEN_FILE} bytes")
    token = text.decode("utf-8", "replace").splitlines()[0:1]
    if not token or not token[0].strip():
        raise ExecutionError(f"the token file {path} is empty")
    return token[0].strip()


class _Answer:
    """relkad's answer: its HTTP status and body."""

    def __init__(self, status, body):
        self.status = status
        self.body = body

    def error(self):
        """The text of a JSON body {"error": TEXT}, else None."""
        try:
            answer = json.loads(self.body.decode("utf-8", "replace"))
        except ValueError:
            return None
        error = answer.get("error") if isinstance(answer, dict) else None
        return error if isinstance(error, str) else None

    def message(self):
        """relkad's own words for a refusal: "STATUS: message"."""
        text = self.error()
        if text is None:
            text = self.body.decode("utf-8", "replace").strip()
        return f"{self.status}: {text[:500] or 'no message'}"


@_registered(target_factory.reg_driver, "drivers")
@attr.s(eq=False)
class RelkadPowerDriver(Driver, PowerProtocol, ResetProtocol):
    """labgrid's power protocol over a RelkadOutlet.

    Args:
        delay (float): the pause of cycle(), seconds; none: the lab file's
        token_file (str): relkad's token, from this file
        timeout (float): how long a request may take, seconds (a cycle's
            pause comes on top)
    """
    bindings = {"port": "RelkadOutlet"}
    # As labgrid's own power drivers: a reset by another driver comes first.
    priorities = {ResetProtocol: -10}
    delay = attr.ib(default=None, converter=attr.converters.optional(float))
    token_file = attr.ib(
        default=None,
        validator=attr.validators.optional(attr.validators.instance_of(str)))
    timeout = attr.ib(default=30.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self._authorization = None
        self._leased = False

    def on_activate(self):
        self._authorization = self._credentials()
        self._leased = False
        answer = self._request("POST", "lease", {}, refusals=False)
        if answer.status == 404 and answer.error() == NO_ROUTE:
            return  # this relkad has no leases
        if not 200 <= answer.status < 300:
            raise ExecutionError(f"no lease on outlet {self.port.outlet}: "
                                 f"{answer.message()}")
        self._leased = True

    def on_deactivate(self):
        if self._leased:
            self._leased = False
            self._request("DELETE", "lease")

    @Driver.check_active
    @step()
    def on(self):
        self._request("PUT", "", {"state": "on"})

    @Driver.check_active
    @step()
    def off(self):
        self._request("PUT", "", {"state": "off"})

    @Driver.check_active
    @step()
    def cycle(self):
        body = {} if self.delay is None else {"delay": self.delay}
        self._request("POST", "cycle", body, extra_time=self.delay or 0)

    @Driver.check_active
    @step()
    def reset(self):
        self.cycle()

    @Driver.check_active
    def get(self):
        answer = self._request("GET", "")
        try:
            state = json.loads(answer.body).get("state")
        except (ValueError, AttributeError):
            state = None
        if state == "on":
            return True
        if state == "off":
            return False
        raise ExecutionError(f"outlet {self.port.outlet}: relkad does not "
                             f"know its state ({state}); switch it once")

    def _credentials(self):
        """The Authorization header for relkad's token, or None."""
        path = self.token_file
        if path is None and self.target.env is not None:
            path = self.target.env.config.get_option(TOKEN_OPTION, "") or None
        if path is None:
            path = os.environ.get(TOKEN_ENVIRONMENT) or None
        if path is None:
            return None
        pair = f"labgrid:{read_token(path)}".encode()
        return "Basic " + base64.b64encode(pair).decode()

    def _request(self, method, action, body=None, refusals=True,
                 extra_time=0.0):
        """One request on the outlet's route; the answer. A refusal raises
        ExecutionError with relkad's message, unless refusals is False."""
        name = urllib.parse.quote(self.port.outlet, safe="")
        url = f"{self.port.url.rstrip('/')}/api/v1/outlets/{name}"
        if action:
            url += f"/{action}"
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(url, data=data, method=method)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        if self._authorization:
            request.add_header("Authorization", self._authorization)
        # Only to relkad's own address: no proxy from the environment.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=self.timeout + extra_time) as reply:
                answer = _Answer(reply.status, reply.read(MAX_ANSWER))
        except urllib.error.HTTPError as error:
            answer = _Answer(error.code, error.read(MAX_ANSWER))
            error.close()
        except (urllib.error.URLError, OSError, socket.timeout) as error:
            why = getattr(error, "reason", error)
            raise ExecutionError(f"relkad at {self.port.url} cannot be "
                                 f"reached: {why}") from None
        if refusals and not 200 <= answer.status < 300:
            raise ExecutionError(answer.message())
        return answer


def exporter_config(lab_path, url):
    """labgrid-exporter's configuration for the named outlets of the lab
    file at lab_path, served by relkad at url. Its comments start with
    "##": the exporter reads the file as a Jinja template whose line
    statements start with "#"."""
    with open(lab_path, "rb") as source:
        outlets = tomllib.load(source).get("outlet", {})
    lines = [f"## The named outlets of relka's lab file, through relkad at {url}",
             "## (made by: python3 -m relka_labgrid LAB-FILE URL).",
             "## Comments here start with two #: the exporter reads this file",
             "## as a Jinja template whose statements start with one."]
    for name in sorted(outlets):
        lines += [f"{name}:", "  RelkadOutlet:", f"    url: {json.dumps(url)}",
                  f"    outlet: {json.dumps(name)}"]
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 3 or argv[1].startswith("-"):
        sys.stderr.write("usage: python3 -m relka_labgrid LAB-FILE URL\n")
        return 2
    try:
        check_url(argv[2])
        sys.stdout.write(exporter_config(argv[1], argv[2]))
    except (OSError, tomllib.TOMLDecodeError, ValueError) as error:
        sys.stderr.write(f"relka_labgrid: {argv[1]}: {error}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
