# SPDX-License-Identifier: MIT
"""Drives a power service with concurrent clients switching outlets, and
prints requests per second and the median and 99th-percentile latency.

  relkad_load.py --lines N --clients 32 --seconds S --relkad BIN
                 [--pdudaemon] [--change-us US] --relkactl BIN --shim SO
                 --work DIR

The lines are pseudo-terminals opened here (their masters kept open), one
box on each; the modem-control requests are answered in-process by the
shim (LD_PRELOAD), so a frame costs only its calls, or with --change-us
that many microseconds a line change, as on a real adapter. The shim
counts the service's frames and their time on the line. With --pdudaemon
the same boxes are driven through Debian's pdudaemon and the relka driver
instead of relkad. Run by tools/bench-relkad.
"""
import argparse
import http.client
import json
import os
import random
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds=20):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def open_lines(count):
    masters, names = [], []
    for _ in range(count):
        master, slave = os.openpty()
        names.append(os.ttyname(slave))
        os.close(slave)
        masters.append(master)
    return masters, names


def write_lab(path, names):
    with open(path, "w") as lab:
        for i, name in enumerate(names):
            lab.write(f'[line.l{i}]\ndevice = "{name}"\n'
                      f'[box.b{i}]\nline = "l{i}"\naddress = 1\n')


def frames_file(args):
    return os.path.join(args.work, "frames")


def frames_sent(args):
    """The service's frames (all its processes) and their median time on
    the line in ms."""
    try:
        with open(frames_file(args)) as f:
            times = [float(line) for line in f]
    except OSError:
        times = []
    return len(times), 1000 * statistics.median(times) if times else 0.0


def stop(process):
    """Ends a service started here: SIGTERM, and SIGKILL if it has not
    ended in 10 s."""
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def service_env(args, **more):
    """The environment of the service and of relkactl here: the shim on
    the lines, the state folder and the lab."""
    return dict(os.environ, LD_PRELOAD=args.shim,
                RELKA_STATE_DIR=args.state,
                RELKA_LAB=os.path.join(args.work, "lab.toml"),
                RELKA_BENCH_CHANGE_US=str(args.change_us), **more)


class service:
    """relkad or pdudaemon, started here and stopped by its pid."""

    def __init__(self, args, names, port):
        self.args, self.names, self.port = args, names, port
        env = service_env(
            args, RELKA_BENCH_FRAMES=frames_file(args),
            PATH=os.path.dirname(args.relkactl) + ":" + os.environ["PATH"])
        os.makedirs(env["RELKA_STATE_DIR"], exist_ok=True)
        log = open(os.path.join(args.work, "service.log"), "w")
        if args.pdudaemon:
            config = {"daemon": {"hostname": "127.0.0.1", "port": port,
                                 "logging_level": "WARNING", "listener": "http"},
                      "pdus": {f"b{i}": {"driver": "relka", "box": f"b{i}",
                                         "relkactl": args.relkactl,
                                         "retries": 1}
                               for i in range(len(names))}}
            path = os.path.join(args.work, "pdudaemon.conf")
            with open(path, "w") as f:
                json.dump(config, f)
            command = ["/usr/bin/python3", "/usr/sbin/pdudaemon", "--conf", path]
            env["PYTHONPATH"] = args.pythonpath
        else:
            command = [args.relkad, "--listen", f"127.0.0.1:{port}",
                       "--lab", env["RELKA_LAB"]]
        self.process = subprocess.Popen(command, env=env, stdout=log,
                                        stderr=subprocess.STDOUT)

    def stop(self):
        stop(self.process)

    def request(self, conn, box, outlet, on):
        if self.args.pdudaemon:
            conn.request("GET", f"/power/control/{'on' if on else 'off'}"
                                f"?hostname=b{box}&port={outlet}")
        else:
            conn.request("PUT", f"/outlet/b{box}/{outlet}", body=b"1" if on else b"0")
        response = conn.getresponse()
        response.read()
        return response.status


def drive(svc, boxes, clients, seconds):
    latencies, failures = [], []
    lock = threading.Lock()
    stop_at = time.monotonic() + seconds

    # Eight clients to a source address: a service may limit connections
    # per address, and 32 clients are meant as 32 users, not one.
    def connect(number):
        return http.client.HTTPConnection(
            "127.0.0.1", svc.port, timeout=60,
            source_address=(f"127.0.1.{1 + number // 8}", 0))

    def client(number):
        conn = connect(number)
        rng = random.Random(number)
        mine, bad = [], 0
        while time.monotonic() < stop_at:
            box = number % boxes
            begun = time.monotonic()
            try:
                status = svc.request(conn, box, rng.randint(1, 8), rng.random() < 0.5)
            except (OSError, http.client.HTTPException):
                conn.close()
                conn = connect(number)
                status = 0
            mine.append(time.monotonic() - begun)
            bad += status != 200
            if status != 200 and bad == 1:
                print(f"bench: a request answered {status}", file=sys.stderr)
        with lock:
            latencies.extend(mine)
            failures.append(bad)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    begun = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - begun
    latencies.sort()
    return {"requests": len(latencies), "failed": sum(failures),
            "seconds": elapsed,
            "per_second": len(latencies) / elapsed,
            "median_ms": 1000 * statistics.median(latencies),
            "p99_ms": 1000 * latencies[int(0.99 * (len(latencies) - 1))]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=1)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--relkad")
    parser.add_argument("--relkactl", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--pdudaemon", action="store_true")
    parser.add_argument("--pythonpath", default="")
    parser.add_argument("--change-us", type=int, default=0)
    parser.add_argument("--state", help="the state folder (default in --work)")
    args = parser.parse_args()
    args.state = args.state or os.path.join(args.work, "state")
    masters, names = open_lines(args.lines)
    write_lab(os.path.join(args.work, "lab.toml"), names)
    port = free_port()
    svc = service(args, names, port)
    try:
        if not wait_for_port(port):
            sys.exit("bench: the service did not answer; see "
                     + os.path.join(args.work, "service.log"))
        # A known state on every box first: all outlets off.
        env = service_env(args)
        for i in range(args.lines):
            subprocess.run([args.relkactl, "-b", f"b{i}", "set", "0"], env=env,
                           check=True)
        result = drive(svc, args.lines, args.clients, args.seconds)
    finally:
        svc.stop()
        for m in masters:
            os.close(m)
    frames, frame_ms = frames_sent(args)
    result.update(lines=args.lines, clients=args.clients,
                  change_us=args.change_us, frames=frames,
                  frames_per_second=frames / result["seconds"],
                  frame_ms=frame_ms, own_ms=result["median_ms"] - frame_ms,
                  service="pdudaemon" if args.pdudaemon else "relkad")
    print(json.dumps(result))


if __name__ == "__main__":
    main()
