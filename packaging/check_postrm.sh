#!/bin/sh
# SPDX-License-Identifier: MIT
# The package's postrm under a temporary root (DPKG_ROOT): purge removes an
# empty state folder, keeps one that holds states and says so, and a plain
# remove leaves it alone.
#
#   check_postrm.sh POSTRM
set -u
postrm=${1:?usage: check_postrm.sh POSTRM}
root=$(mktemp -d) || exit 1
trap 'rm -rf "$root"' EXIT
state="$root/var/lib/relka"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$state"
DPKG_ROOT=$root sh "$postrm" remove 2>"$root/said" || fail "remove failed"
[ -d "$state" ] || fail "remove took the state folder"

DPKG_ROOT=$root sh "$postrm" purge 2>"$root/said" || fail "purge failed"
[ -d "$state" ] && fail "purge kept an empty state folder"
[ -s "$root/said" ] && fail "purge of an empty folder said: $(cat "$root/said")"

mkdir -p "$state" && echo "mask 5" >"$state/ttyUSB0.box0"
DPKG_ROOT=$root sh "$postrm" purge 2>"$root/said" || fail "purge failed"
[ -f "$state/ttyUSB0.box0" ] || fail "purge removed remembered states"
grep -q "still holds relkactl's remembered outlet states" "$root/said" ||
  fail "purge kept the states without saying so"

[ "$failures" -eq 0 ] && echo "ok: postrm keeps states, removes an empty folder"
exit "$failures"
