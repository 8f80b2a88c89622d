# SPDX-License-Identifier: MIT
"""Shared by the lab scenarios, which run inside "relka-sim run": relkactl
calls, a pdudaemon started on a free port of 127.0.0.1 and stopped by its
pid, and plain HTTP requests. Every wait here is bounded."""

import contextlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

PDUDAEMON = "/usr/sbin/pdudaemon"
# Debian's modules (pdudaemon's aiohttp, labgrid) belong to this interpreter.
DEBIAN_PYTHON = "/usr/bin/python3"


class ScenarioError(Exception):
    pass


def relkactl(*args, timeout=30):
    """relkactl from PATH (relka-sim run puts its own first); its status."""
    done = subprocess.run(["relkactl", *args], timeout=timeout,
                          capture_output=True, text=True)
    sys.stdout.write(done.stdout)
    sys.stderr.write(done.stderr)
    return done.returncode


def must_relkactl(*args):
    status = relkactl(*args)
    if status != 0:
        raise ScenarioError(f"relkactl {' '.join(args)} exited {status}")


def free_port(host="127.0.0.1"):
    """A port of host (127.0.0.1) that nobody listened on a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def port_answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def config_on_port(conf_path, port, folder):
    """The shipped pdudaemon config with only the daemon's port replaced."""
    with open(conf_path, encoding="utf-8") as conf:
        settings = json.load(conf)
    if settings["daemon"]["hostname"] != "127.0.0.1":
        raise ScenarioError(f"{conf_path}: the daemon should listen on 127.0.0.1")
    settings["daemon"]["port"] = port
    path = os.path.join(folder, "pdudaemon.conf")
    with open(path, "w", encoding="utf-8") as out:
        json.dump(settings, out)
    return path


class RunningPdudaemon:
    """A started pdudaemon: its port and what it has logged so far."""

    def __init__(self, port, pid, log_path):
        self.port = port
        self.pid = pid
        self.log_path = log_path

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()


@contextlib.contextmanager
def pdudaemon_with_log(conf_path, start_limit=20.0):
    """Starts pdudaemon with conf_path's PDUs on a free port, waits until the
    port answers, yields it as a RunningPdudaemon, and stops the daemon by
    its pid on every way out. Its log is printed when it fails to start or
    the body fails."""
    with tempfile.TemporaryDirectory(prefix="relka-pdudaemon.") as folder:
        port = free_port()
        conf = config_on_port(conf_path, port, folder)
        log_path = os.path.join(folder, "pdudaemon.log")
        with open(log_path, "wb") as log:
            daemon = subprocess.Popen(
                [DEBIAN_PYTHON, PDUDAEMON, "--conf", conf],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        failed = True
        try:
            deadline = time.monotonic() + start_limit
            while not port_answers(port):
                if daemon.poll() is not None:
                    raise ScenarioError(f"pdudaemon exited {daemon.returncode} "
                                        "before its port answered")
                if time.monotonic() > deadline:
                    raise ScenarioError(f"pdudaemon's port {port} did not answer "
                                        f"within {start_limit:g} s")
                time.sleep(0.1)
            print(f"scenario: pdudaemon (pid {daemon.pid}) answers on "
                  f"127.0.0.1:{port}", flush=True)
            yield RunningPdudaemon(port, daemon.pid, log_path)
            failed = False
        finally:
            if daemon.poll() is None:
                daemon.terminate()
                try:
                    daemon.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    daemon.kill()
                    daemon.wait(timeout=10)
            if failed:
                with open(log_path, encoding="utf-8", errors="replace") as log:
                    sys.stderr.write("--- pdudaemon's log ---\n" + log.read() +
                                     "--- end of pdudaemon's log ---\n")


@contextlib.contextmanager
def running_pdudaemon(conf_path, start_limit=20.0):
    """pdudaemon_with_log that yields only the port."""
    with pdudaemon_with_log(conf_path, start_limit) as daemon:
        yield daemon.port


def power_of(env_file):
    """The labgrid environment's main target, its PowerProtocol driver
    active. labgrid is imported here: only the labgrid scenarios need it."""
    from labgrid import Environment
    target = Environment(config_file=env_file).get_target("main")
    if target is None:
        raise ScenarioError(f"{env_file} has no target 'main'")
    power = target.get_driver("PowerProtocol")
    target.activate(power)
    return target, power


def http_get(port, path, timeout=60):
    """GET on 127.0.0.1:port; the status and the body."""
    url = f"http://127.0.0.1:{port}{path}"
    try:
        with urllib.request.urlopen(url, timeout=timeout) as reply:
            return reply.status, reply.read().decode(errors="replace")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode(errors="replace")


def all_at_once(call, requests):
    """call(*args) for every args in requests, all at once, one thread each;
    every one must have ended, without error."""
    start = threading.Barrier(len(requests))
    errors = []

    def one(args):
        try:
            start.wait(timeout=10)
            call(*args)
        except (ScenarioError, OSError, threading.BrokenBarrierError) as error:
            errors.append(f"{args}: {error}")

    threads = [threading.Thread(target=one, args=(args,)) for args in requests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=90)
    if any(thread.is_alive() for thread in threads):
        raise ScenarioError("a parallel request did not end within 90 s")
    if errors:
        raise ScenarioError("; ".join(errors))


def run_scenario(main):
    """Exit 0 when main() returns, 1 with the reason when it fails."""
    try:
        main()
    except (ScenarioError, AssertionError, subprocess.SubprocessError,
            OSError) as error:
        print(f"scenario: FAILED: {type(error).__name__}: {error}",
              file=sys.stderr, flush=True)
        sys.exit(1)
    print("scenario: done", flush=True)
