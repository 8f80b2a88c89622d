#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Every message doc/troubleshooting.md quotes is one the programs say.

A message is the code span that opens a list item ("- `relkactl: ...`").
It must be made, from its first character to its last, of the texts the
programs' sources hold (string literals, printf formats cut at their
conversions, Python f-strings cut at their fields) and of the page's
stand-ins: words in CAPITALS (DEVICE, FILE, N), "...", numbers, the
system's error texts (strerror) and the example user and groups (root,
dialout, alice), which come from the system at run time. A message that
was reworded in the code, or mistyped on the page, is not.

Also: every message relkactl can say is on the page (each statement that
makes one, in the files of SAID_IN, by its longest text), so that a new
one does not go unexplained.

  check_messages.py SOURCE_DIR BUILD_DIR
"""

import ast
import os
import re
import sys

FOLDERS = ("serial", "outlet", "control", "ctl", "front", "sim", "relkad", "pdudaemon")
C_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
PRINTF = re.compile(r"%[-+ #0-9.]*(?:zu|l?[dixsgfc]|%)")
STAND_IN = re.compile(r"[A-Z][A-Z0-9_]*\b|\.\.\.|[0-9]+\b|(?:root|dialout|alice)\b")


def c_unescape(text):
    return bytes(text, "utf-8").decode("unicode_escape").encode("latin-1").decode("utf-8")


def c_literals(code):
    """The string literals of C++ code, each alone and joined with the
    literals that follow it with nothing but space between."""
    found, run, end = [], [], None
    for m in C_LITERAL.finditer(code):
        if m.start() > 0 and code[m.start() - 1] == "'":
            continue  # '"' is a character
        text = c_unescape(m.group(1))
        if end is not None and code[end:m.start()].strip() == "":
            run.append(text)
        else:
            if len(run) > 1:
                found.append("".join(run))
            run = [text]
        found.append(text)
        end = m.end()
    if len(run) > 1:
        found.append("".join(run))
    return found


def python_literals(code):
    found = []
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            found.append(node.value)
    return found


def pieces(source):
    """Every text the programs can print, cut where a value goes in."""
    texts = set()
    for folder in FOLDERS:
        for root, _, files in os.walk(os.path.join(source, folder)):
            for name in files:
                if "_test" in name or "check_" in name:
                    continue
                path = os.path.join(root, name)
                code = open(path, encoding="utf-8").read()
                if name.endswith((".cc", ".h")):
                    literals = c_literals(code)
                elif name.endswith(".py"):
                    literals = python_literals(code)
                else:
                    continue
                for literal in literals:
                    for piece in PRINTF.split(literal):
                        piece = piece.strip("\n\r")
                        if piece:
                            texts.add(piece)
    texts.update(os.strerror(number) for number in range(1, 134))
    return texts


def made_of(message, texts):
    """Can `message` be read, start to end, as texts and stand-ins?"""
    reach = [False] * (len(message) + 1)
    reach[0] = True
    for at in range(len(message)):
        if not reach[at]:
            continue
        m = STAND_IN.match(message, at)
        if m and (at == 0 or not message[at - 1].isalnum()):
            reach[m.end()] = True
        for text in texts:
            if message.startswith(text, at):
                reach[at + len(text)] = True
    return reach[len(message)]


def quoted_messages(page):
    found = []
    for number, line in enumerate(open(page, encoding="utf-8"), 1):
        m = re.match(r"^- `([^`]+)`", line)
        if m:
            found.append((number, m.group(1)))
    return found


# Where relkactl's messages are made: what each of these statements says,
# by its longest text, must be on the page.
SAID_IN = ("ctl/ctl_main.cc", "ctl/ctl_options.cc", "control/switch_core.cc",
           "control/lab_file.cc", "outlet/outlet_state.cc", "outlet/access_advice.cc",
           "control/lease_check.cc", "outlet/state_files.cc")
SAYS = re.compile(r'\bsay_?\(|\bcomplain\(|\berror = |\*error = |\*problem = |'
                  r'\bfail\([^,]*,|\breturn (?=head|")')


def unexplained(source, page_text):
    """relkactl's messages whose words are nowhere on the page."""
    missing = []
    for name in SAID_IN:
        code = open(os.path.join(source, name), encoding="utf-8").read()
        # The same code with the texts blanked, to find where statements end.
        blank = C_LITERAL.sub(lambda t: '"' + "x" * (len(t.group(0)) - 2) + '"', code)
        for m in SAYS.finditer(blank):
            statement = code[m.end():blank.find(";", m.end())]
            literals = [t.strip() for t in c_literals(statement)
                        if "%" not in t and '"' not in t]
            longest = max(literals, key=len, default="")
            if len(longest) >= 10 and longest not in page_text:
                missing.append(f"{name}: '{longest}'")
    return missing


def main():
    source = os.path.abspath(sys.argv[1])
    page = os.path.join(source, "doc", "troubleshooting.md")
    texts = pieces(source)
    failures = []
    messages = quoted_messages(page)
    for number, message in messages:
        if not made_of(message, texts):
            failures.append(f"troubleshooting.md:{number}: no program says `{message}`")
    page_text = open(page, encoding="utf-8").read()
    for said in unexplained(source, page_text):
        failures.append(f"relkactl's message from {said} is not on the page")
    print(f"{len(messages)} messages checked against {len(texts)} texts of the sources")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
