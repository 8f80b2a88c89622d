#!/bin/sh
# SPDX-License-Identifier: MIT
# Lets systemd-tmpfiles make the state folder from the tmpfiles entry under
# a temporary root and checks its owner, group and mode (root, dialout,
# 2775). Exits 77 (skipped) without systemd-tmpfiles, or when not root (only
# root can give the folder to root and dialout).
#
#   check_entry.sh TMPFILES-CONF
set -eu
conf=$(realpath "${1:?usage: check_entry.sh TMPFILES-CONF}")

if ! command -v systemd-tmpfiles >/dev/null 2>&1; then
  echo "SKIP: systemd-tmpfiles is not installed (Debian package systemd)"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: only root can make a folder owned by root and dialout"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# The names in the entry resolve through the root's own account files.
mkdir "$root/etc"
cp /etc/passwd /etc/group "$root/etc/"
systemd-tmpfiles --root="$root" --create "$conf"
got=$(stat -c '%a %U %G' "$root/var/lib/relka")
if [ "$got" != "2775 root dialout" ]; then
  echo "FAIL: /var/lib/relka made as '$got', wanted '2775 root dialout'"
  exit 1
fi
echo "ok: /var/lib/relka 2775 root dialout"
