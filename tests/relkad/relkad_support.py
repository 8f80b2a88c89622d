# SPDX-License-Identifier: MIT
"""Shared by relkad's lab scenarios, which run inside "relka-sim run": a
relkad started on a free port and stopped by its pid, plain HTTP requests
that go to exactly the address given (no proxy), the token file, and a
network namespace joined to this one by a veth pair whose two ends have
loopback-range addresses only. Every wait here is bounded, and everything
started or made is stopped or removed on every way out, also when the
scenario is asked to end by a signal."""

import base64
import contextlib
import http.client
import os
import random
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "lab"))

import lab_support as lab  # noqa: E402

ScenarioError = lab.ScenarioError
DEBIAN_PYTHON = lab.DEBIAN_PYTHON
LAB_FILE = os.path.join(HERE, "lab.toml")
SERVING = "relkad: serving "


def say(text):
    print(f"scenario: {text}", flush=True)


def check(ok, what):
    """A check inside a scenario: printed, and the scenario fails at once
    when it does not hold."""
    if not ok:
        raise ScenarioError(what)
    say(f"ok: {what}")


def relkad_binary():
    path = os.environ.get("RELKAD", "")
    if not path or not os.access(path, os.X_OK):
        raise ScenarioError(f"RELKAD names no relkad to run: {path!r}")
    return path


def plain_environment():
    """This environment without umockdev's preload (for programs that never
    touch a serial line: the browser, ip, the namespace's client) and
    without proxies (every request here goes to the address it names)."""
    env = dict(os.environ)
    kept = [lib for lib in env.get("LD_PRELOAD", "").split(":")
            if lib and "umockdev" not in lib]
    if kept:
        env["LD_PRELOAD"] = ":".join(kept)
    else:
        env.pop("LD_PRELOAD", None)
    for name in list(env):
        if name.lower() in ("http_proxy", "https_proxy", "all_proxy",
                            "ftp_proxy", "no_proxy"):
            del env[name]
    return env


def end_on_signals():
    """SIGTERM, SIGINT and SIGHUP (relka-sim passes them on at its time
    limit) end the scenario through its finally clauses, so that relkad,
    the browser and the namespace are stopped and removed."""
    def leave(number, _frame):
        raise SystemExit(f"scenario: ended by signal {number}")
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, leave)


free_port = lab.free_port


def basic(user, password):
    pair = f"{user}:{password}".encode()
    return "Basic " + base64.b64encode(pair).decode()


def request(host, port, method, path, body=None, headers=None, timeout=30):
    """One HTTP request to host:port, nothing in between; (status, body,
    headers as a dict with lower-case names)."""
    connection = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        data = body.encode() if isinstance(body, str) else body
        connection.request(method, path, body=data, headers=headers or {})
        reply = connection.getresponse()
        text = reply.read().decode(errors="replace")
        return (reply.status, text,
                {name.lower(): value for name, value in reply.getheaders()})
    finally:
        connection.close()


def write_token(folder, token=None, mode=0o600):
    """A token file in folder with mode `mode`; its path and the token."""
    token = token if token is not None else secrets.token_hex(16)
    path = os.path.join(folder, f"token-{secrets.token_hex(4)}")
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with os.fdopen(descriptor, "w") as out:
        out.write(token + "\n")
    os.chmod(path, mode)
    return path, token


def stop(process, name, grace=10):
    """SIGTERM to process (by its pid), then SIGKILL after grace seconds;
    its exit status."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            say(f"{name} (pid {process.pid}) ignored SIGTERM; killing it")
            process.kill()
            process.wait(timeout=grace)
    return process.returncode


class Relkad:
    """A started relkad: where it listens and what it has said."""

    def __init__(self, process, host, port, log_path):
        self.process = process
        self.host = host
        self.port = port
        self.log_path = log_path

    @property
    def base(self):
        return f"http://{self.host}:{self.port}"

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()

    def request(self, method, path, body=None, headers=None, timeout=30):
        return request(self.host, self.port, method, path, body, headers,
                       timeout)


@contextlib.contextmanager
def running_relkad(host="127.0.0.1", arguments=(), lab_file=LAB_FILE,
                   start_limit=20.0):
    """Starts relkad with lab_file on a free port of host, waits for its
    "relkad: serving" line and its port, yields a Relkad, and stops it by
    its pid on every way out. A relkad that does not end with status 0
    after SIGTERM (a sanitizer's report, say) fails the scenario; its
    standard error is printed when it failed to start, the body failed or
    it ended badly."""
    with tempfile.TemporaryDirectory(prefix="relkad-test.") as folder:
        log_path = os.path.join(folder, "relkad.log")
        for attempt in range(3):
            port = free_port(host)
            with open(log_path, "wb") as log:
                process = subprocess.Popen(
                    [relkad_binary(), f"--lab={lab_file}",
                     f"--listen={host}:{port}", *arguments],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            daemon = Relkad(process, host, port, log_path)
            failed = True
            try:
                deadline = time.monotonic() + start_limit
                while SERVING not in daemon.log():
                    if process.poll() is not None:
                        break
                    if time.monotonic() > deadline:
                        raise ScenarioError(f"relkad said nothing of serving "
                                            f"within {start_limit:g} s")
                    time.sleep(0.02)
                if process.poll() is not None:
                    if ("cannot listen" in daemon.log() and attempt < 2):
                        failed = False  # the port was taken meanwhile
                        continue
                    raise ScenarioError(f"relkad exited {process.returncode} "
                                        "before serving")
                with socket.create_connection((host, port), timeout=5):
                    pass
                say(f"relkad (pid {process.pid}) serves {daemon.base}")
                yield daemon
                failed = False
            finally:
                status = stop(process, "relkad")
                ended_well = status == 0
                if failed or not ended_well:
                    sys.stderr.write("--- relkad's standard error ---\n" +
                                     daemon.log() +
                                     "--- end of relkad's standard error ---\n")
            if not ended_well and not failed:
                raise ScenarioError(f"relkad ended with status {status} after "
                                    "SIGTERM, not 0")
            if not failed:
                say(f"relkad (pid {process.pid}) stopped, status 0")
            return


# A network namespace for clients on another host, as far as relkad can
# tell: its end of a veth pair has a 127.20.X.2 address and the end in this
# namespace 127.20.X.1 (a /30 of its own, never a private or public
# address). Loopback addresses are routed over the pair only with
# route_localnet on both ends, and with a /32 route in each side's local
# table, which otherwise sends all of 127.0.0.0/8 to its own lo.

def ip(*arguments, namespace=None, check=True):
    argv = ["ip"] + (["-n", namespace] if namespace else []) + list(arguments)
    done = subprocess.run(argv, capture_output=True, text=True, timeout=30,
                          env=plain_environment(), stdin=subprocess.DEVNULL)
    if check and done.returncode != 0:
        raise ScenarioError(f"{' '.join(argv)} exited {done.returncode}: "
                            f"{done.stderr.strip()}")
    return done


def in_namespace(namespace, argv):
    """argv to run inside the namespace, without umockdev's preload."""
    return ["ip", "netns", "exec", namespace, *argv]


def addresses_in_use():
    done = ip("-o", "-4", "addr", "show")
    return {word.split("/")[0] for line in done.stdout.splitlines()
            for word in line.split() if word.startswith("127.")}


class Namespace:
    def __init__(self, name, here_link, there_link, here, there):
        self.name = name
        self.here_link = here_link
        self.there_link = there_link
        self.here = here    # our end's address, in this namespace
        self.there = there  # the address of the namespace's end


def remove_namespace(name, here_link):
    """Removes the veth pair (both ends go with one) and the namespace,
    each whether or not the other could be; what could not be, as text."""
    problems = []
    if ip("link", "show", here_link, check=False).returncode == 0:
        done = ip("link", "del", here_link, check=False)
        if done.returncode != 0:
            problems.append(f"ip link del {here_link}: {done.stderr.strip()}")
    if os.path.exists(os.path.join("/run/netns", name)):
        done = ip("netns", "del", name, check=False)
        if done.returncode != 0:
            problems.append(f"ip netns del {name}: {done.stderr.strip()}")
    return problems


def route_localnet(link, namespace=None):
    path = f"/proc/sys/net/ipv4/conf/{link}/route_localnet"
    if namespace is None:
        with open(path, "w", encoding="ascii") as setting:
            setting.write("1\n")
        return
    done = subprocess.run(in_namespace(namespace, ["sh", "-c",
                                                   f"echo 1 > {path}"]),
                          capture_output=True, text=True, timeout=30,
                          env=plain_environment(), stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise ScenarioError(f"route_localnet in {namespace}: "
                            f"{done.stderr.strip()}")


@contextlib.contextmanager
def loopback_namespace(name, here_link, there_link):
    """Makes namespace `name` and the veth pair here_link (here) and
    there_link (in the namespace), on a /30 of 127.20.0.0/16 that no
    address of this namespace uses; yields a Namespace; removes both on
    every way out."""
    used = addresses_in_use()
    for _ in range(100):
        block = random.randrange(1, 16383) * 4
        here = f"127.20.{block // 256}.{block % 256 + 1}"
        there = f"127.20.{block // 256}.{block % 256 + 2}"
        if here not in used and there not in used:
            break
    else:
        raise ScenarioError("found no free /30 in 127.20.0.0/16")
    try:
        ip("netns", "add", name)
        ip("link", "add", here_link, "type", "veth", "peer", "name", there_link)
        ip("link", "set", there_link, "netns", name)
        route_localnet(here_link)
        ip("addr", "add", f"{here}/30", "dev", here_link)
        ip("link", "set", here_link, "up")
        ip("route", "add", f"{there}/32", "dev", here_link, "src", here,
           "table", "local")
        route_localnet(there_link, name)
        ip("link", "set", "lo", "up", namespace=name)
        ip("addr", "add", f"{there}/30", "dev", there_link, namespace=name)
        ip("link", "set", there_link, "up", namespace=name)
        ip("route", "add", f"{here}/32", "dev", there_link, "src", there,
           "table", "local", namespace=name)
        say(f"namespace {name}: {there} on {there_link}, reaching {here} "
            f"on {here_link} here")
        yield Namespace(name, here_link, there_link, here, there)
    finally:
        problems = remove_namespace(name, here_link)
        if problems:
            print("scenario: " + "; ".join(problems), file=sys.stderr,
                  flush=True)
        else:
            say(f"namespace {name} and the veth pair removed")
    if problems:
        raise ScenarioError("; ".join(problems))


def run_scenario(main):
    """lab_support.run_scenario, with ending signals taken as a way out."""
    end_on_signals()
    lab.run_scenario(main)
