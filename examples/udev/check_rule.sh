#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the example udev rule: first that its one rule line matches a tty
# by idVendor, idProduct and serial and gives it the /dev/relka link, group
# dialout and mode 0660; then, where udevadm has it (systemd 254 and later),
# with "udevadm verify". Exits 77 (skipped) when that verb is missing.
#
#   check_rule.sh RULES-FILE
set -eu
rules=${1:?usage: check_rule.sh RULES-FILE}

rule=$(grep -v '^[[:space:]]*#' "$rules" | grep -v '^[[:space:]]*$')
if [ "$(printf '%s\n' "$rule" | wc -l)" -ne 1 ]; then
  echo "FAIL: $rules should hold exactly one rule line"
  exit 1
fi
for key in 'SUBSYSTEM=="tty"' 'ATTRS{idVendor}=="' 'ATTRS{idProduct}=="' \
           'ATTRS{serial}=="' 'SYMLINK+="relka"' 'GROUP="dialout"' 'MODE="0660"'; do
  case $rule in
    *"$key"*) echo "ok: $key" ;;
    *) echo "FAIL: the rule has no $key"; exit 1 ;;
  esac
done

if ! command -v udevadm >/dev/null 2>&1; then
  echo "SKIP udevadm verify: udevadm is not installed (Debian package udev)"
  exit 77
fi
if ! udevadm verify --help >/dev/null 2>&1; then
  # "udevadm test" would need the rule in the system's rules folders and a
  # real adapter in /sys, which a check must not depend on or change.
  echo "SKIP udevadm verify: this udevadm ($(udevadm --version)) has no verify (systemd 254 or later)"
  exit 77
fi
udevadm verify "$rules"
echo "ok: udevadm verify"
