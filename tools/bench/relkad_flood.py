# SPDX-License-Identifier: MIT
"""What relkad withstands: hostile and careless clients against a relkad
this script starts (with a token, on a free port of 127.0.0.1), each case
measured by whether the client that matters still gets its answer.

  relkad_flood.py --relkad BIN --work DIR

  slow-loris  64 connections from 127.0.0.2-5, each a partial request and
              then one byte every 2.5 s; a client with the token at 0.2 s
              and at 3 s; how each slow connection ended by 6.5 s
  idle        16 connections from 127.0.0.1 that send nothing; then a
              labgrid-like client from 127.0.0.1 (GET /outlet/BOX/N: 409,
              the state is unknown, and a box; no line is opened)
  burst       200 clients at once, each one GET with the token: every one
              must get an HTTP answer (200, or 503 with Retry-After)

Prints one JSON object per case. Run by tools/bench-relkad.
"""
import argparse
import base64
import json
import os
import socket
import subprocess
import sys
import threading
import time

from relkad_load import free_port, stop

TOKEN = "flood-token-0123456789"
AUTH = "Authorization: Basic " + base64.b64encode(
    f"lab:{TOKEN}".encode()).decode() + "\r\n"


def connect(port, source="127.0.0.1"):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def exchange(port, request, source="127.0.0.1", seconds=10):
    """The answer's status (0 for none) and the time it took."""
    begun = time.monotonic()
    got = b""
    try:
        with connect(port, source) as s:
            s.settimeout(seconds)
            s.sendall(request.encode())
            while True:
                piece = s.recv(4096)
                if not piece:
                    break
                got += piece
    except OSError:
        pass
    status = int(got[9:12]) if got.startswith(b"HTTP/1.1 ") else 0
    if status == 503 and b"Retry-After:" not in got:
        status = -503
    return status, time.monotonic() - begun


def request(method, path, body="", auth=True):
    return (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            + (AUTH if auth else "")
            + f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n{body}")


def slow_loris(port):
    lorises = []
    for i in range(64):
        s = connect(port, f"127.0.0.{2 + i % 4}")
        s.sendall(b"GET /api/v1/lab HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        lorises.append(s)
    stop = threading.Event()

    def trickle():
        while not stop.wait(2.5):
            for s in lorises:
                try:
                    s.send(b"X")
                except OSError:
                    pass
    threading.Thread(target=trickle, daemon=True).start()
    begun = time.monotonic()
    answers = []
    for at in (0.2, 3.0):  # before and after the first trickle
        time.sleep(max(0, begun + at - time.monotonic()))
        answers.append(exchange(port, request("GET", "/api/v1/lab"),
                                "127.0.0.9"))
    time.sleep(max(0, begun + 6.5 - time.monotonic()))
    stop.set()
    ends = {}
    for s in lorises:  # what each got before it was closed, by 6.5 s
        s.setblocking(False)
        try:
            got = s.recv(4096)
            end = got[9:12].decode() if got else "closed"
        except BlockingIOError:
            end = "open"
        except OSError:
            end = "reset"
        ends[end] = ends.get(end, 0) + 1
        s.close()
    return {"case": "slow-loris", "connections": 64,
            "status": [a[0] for a in answers],
            "seconds": round(max(a[1] for a in answers), 4),
            "lorises_at_6.5s": ends}


def idle(port):
    sockets = [connect(port) for _ in range(16)]
    time.sleep(0.2)
    answers = [exchange(port, request("GET", "/outlet/top/1")),
               exchange(port, request("GET", "/api/v1/boxes/top"))]
    for s in sockets:
        s.close()
    return {"case": "idle", "connections": 16,
            "status": [a[0] for a in answers],
            "seconds": round(max(a[1] for a in answers), 4)}


def burst(port):
    results = [None] * 200
    go = threading.Event()

    def one(i):
        go.wait()
        results[i] = exchange(port, request("GET", "/api/v1/lab"),
                              f"127.0.{1 + i // 50}.{1 + i % 50}")
    threads = [threading.Thread(target=one, args=(i,)) for i in range(200)]
    for t in threads:
        t.start()
    go.set()
    for t in threads:
        t.join()
    statuses = [r[0] for r in results]
    return {"case": "burst", "clients": 200, "ok": statuses.count(200),
            "busy": statuses.count(503),
            "other": len(statuses) - statuses.count(200) - statuses.count(503),
            "slowest": round(max(r[1] for r in results), 4)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relkad", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    lab = os.path.join(args.work, "lab.toml")
    with open(lab, "w") as f:
        f.write('[line.l0]\ndevice = "/dev/null"\n'
                '[box.top]\nline = "l0"\naddress = 1\n')
    token = os.path.join(args.work, "token")
    with open(os.open(token, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write(TOKEN + "\n")
    state = os.path.join(args.work, "state")
    os.makedirs(state, exist_ok=True)
    port = free_port()
    log = open(os.path.join(args.work, "relkad.log"), "w")
    relkad = subprocess.Popen(
        [args.relkad, "--listen", f"127.0.0.1:{port}", "--lab", lab,
         "--state-dir", state, "--token-file", token],
        stdout=log, stderr=subprocess.STDOUT)
    try:
        until = time.monotonic() + 10
        while exchange(port, request("GET", "/api/v1/lab"))[0] != 200:
            if time.monotonic() > until:
                sys.exit("relkad_flood: relkad did not answer")
            time.sleep(0.05)
        for case in (slow_loris, idle, burst):
            print(json.dumps(case(port)))
            time.sleep(0.5)
    finally:
        stop(relkad)


if __name__ == "__main__":
    main()
