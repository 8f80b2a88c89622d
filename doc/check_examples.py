#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the examples of README.md and doc/*.md as they are written.

Every ```sh block carries a marker on the line before it:

  <!-- test -->           run it: bash -e, inside `relka-sim run` with the
                          lines /dev/relka, /dev/ttyUSB0 and every device of
                          the page's lab file (a block that runs relka-sim
                          itself runs as it is); it must exit 0
  <!-- untested: WHY -->  not run, and the page's reader can tell why

Other markers:

  <!-- test: lab -->      a ```toml block: the lab file (RELKA_LAB) of the
                          page's tested blocks after it (before one, the
                          shipped examples/lab.toml)
  <!-- output -->         what the tested block before it prints, compared
                          line by line with times and durations masked
  <!-- file: PATH -->     every line of the block is a line of PATH

A block runs in a fresh folder holding `build` (the build tree), `examples`
(the source's) and a `tools/deps` that does nothing: the build and the
packages are the test's own, so `bash tools/deps && cmake ...` stand for
what already happened. `cmake` is a stand-in that does nothing.

  check_examples.py SOURCE_DIR BUILD_DIR
"""

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "tests", "lab"))

import check_lab  # noqa: E402

MARK = re.compile(r"^<!-- (test(?:: lab)?|output|untested: .+|file: \S+) -->$")
FENCE = re.compile(r"^```(\w*)$")
TIMES = re.compile(r"\b\d+(\.\d+)? (us|s)\b|\b\d+\.\d{6}\b")


def blocks(path):
    """(marker or None, language, text, line number) of each fenced block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    found, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        mark = MARK.match(lines[i - 1]) if i > 0 else None
        end = i + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        found.append((mark.group(1) if mark else None, m.group(1),
                      "\n".join(lines[i + 1:end]), i + 1))
        i = end + 1
    return found


def masked(text):
    return [TIMES.sub("T", line.rstrip()) for line in text.strip("\n").split("\n")]


def run_block(source, build, code, lab):
    with tempfile.TemporaryDirectory(prefix="relka-doc.") as folder:
        os.symlink(build, os.path.join(folder, "build"))
        os.symlink(os.path.join(source, "examples"), os.path.join(folder, "examples"))
        os.makedirs(os.path.join(folder, "tools"))
        stubs = os.path.join(folder, "stubs")
        os.makedirs(stubs)
        for stub in (os.path.join(folder, "tools", "deps"), os.path.join(stubs, "cmake")):
            with open(stub, "w") as f:
                f.write("#!/bin/sh\nexit 0\n")
            os.chmod(stub, 0o755)
        env = dict(os.environ)
        env["PATH"] = stubs + ":" + os.path.join(build, "bin") + ":" + env["PATH"]
        env["RELKA_STATE_DIR"] = os.path.join(folder, "state")
        os.makedirs(env["RELKA_STATE_DIR"])
        env["RELKA_LAB"] = os.path.join(folder, "lab.toml")
        with open(env["RELKA_LAB"], "w") as f:
            f.write(lab)
        command = ["bash", "-e", "-c", code]
        if "relka-sim" in code:  # runs relka-sim itself
            run = subprocess.run(command, cwd=folder, env=env,
                                 capture_output=True, text=True, timeout=120)
            return run.returncode, run.stdout + run.stderr, run.stderr
        lines = (["/dev/relka", "/dev/ttyUSB0"]
                 + check_lab.lab_lines(env["RELKA_LAB"]))
        _, report, out, err = check_lab.run_sim_output(
            os.path.join(build, "bin", "relka-sim"), command,
            lines=dict.fromkeys(lines), cwd=folder, env=env)
        return report["command"]["status"], out, err


def check_page(source, build, path):
    failures, last = [], None
    lab = open(os.path.join(source, "examples", "lab.toml"), encoding="utf-8").read()
    name = os.path.relpath(path, source)
    for mark, language, text, line in blocks(path):
        where = f"{name}:{line}"
        if language == "sh" and mark is None:
            failures.append(f"{where}: a sh example without <!-- test --> or <!-- untested: why -->")
        if mark == "test: lab":
            lab = text + "\n"
        elif mark == "test":
            status, out, err = run_block(source, build, text, lab)
            print(f"{where}: status {status}")
            if status != 0:
                failures.append(f"{where}: exited with {status}\n{out}\n{err}")
            last = (where, out)
        elif mark == "output":
            if last is None:
                failures.append(f"{where}: output of no tested example")
                continue
            want, got = masked(text), masked(last[1])
            if want != got:
                failures.append(f"{where}: {last[0]} printed\n" + "\n".join(got) +
                                "\ninstead of\n" + "\n".join(want))
            last = None
        elif mark is not None and mark.startswith("file: "):
            have = open(os.path.join(source, mark[6:]), encoding="utf-8").read().split("\n")
            for wanted in text.split("\n"):
                if wanted not in have:
                    failures.append(f"{where}: not in {mark[6:]}: {wanted}")
    return failures


def main():
    source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    pages = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "doc", p) for p in os.listdir(os.path.join(source, "doc"))
        if p.endswith(".md"))
    failures = []
    for page in pages:
        failures += check_page(source, build, page)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
