#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the systemd drop-in for pdudaemon.service: first that it adds group
# dialout and makes /run/lock and /var/lib/relka writable; then, where
# systemd-analyze is installed, "systemd-analyze verify" of pdudaemon.service
# (Debian's unit, or a stand-in with DynamicUser=yes when pdudaemon is not
# installed) with the drop-in beside it, in a temporary unit folder. Any
# complaint about the drop-in fails. To be sure that verify reads drop-ins
# from there at all, a copy with a misspelt key must draw a complaint.
# Exits 77 (skipped) when systemd-analyze is missing.
#
#   check_dropin.sh DROP-IN-FILE
set -eu
dropin=${1:?usage: check_dropin.sh DROP-IN-FILE}

setting() {  # the values of key $1 in the drop-in, on one line
  sed -n "s/^[[:space:]]*$1[[:space:]]*=//p" "$dropin" | tr '\n' ' '
}
grep -q '^\[Service\][[:space:]]*$' "$dropin" || { echo "FAIL: $dropin has no [Service] section"; exit 1; }
for want in "SupplementaryGroups dialout" "ReadWritePaths /run/lock" "ReadWritePaths /var/lib/relka"; do
  key=${want% *} value=${want#* }
  case " $(setting "$key") " in
    *" $value "*) echo "ok: $key has $value" ;;
    *) echo "FAIL: the drop-in's $key does not have $value"; exit 1 ;;
  esac
done

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP systemd-analyze verify: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi

units=$(mktemp -d)
trap 'rm -rf "$units"' EXIT INT TERM
mkdir "$units/pdudaemon.service.d"
if [ -f /lib/systemd/system/pdudaemon.service ]; then
  cp /lib/systemd/system/pdudaemon.service "$units/"
  echo "ok: verifying against Debian's /lib/systemd/system/pdudaemon.service"
else
  printf '[Unit]\nDescription=stand-in for pdudaemon.service\n[Service]\nExecStart=/bin/true\nDynamicUser=yes\n' \
    >"$units/pdudaemon.service"
  echo "note: pdudaemon is not installed; verifying against a stand-in unit with DynamicUser=yes"
fi

verify() {  # prints what systemd-analyze verify says; fails when it fails
  (cd "$units" && SYSTEMD_UNIT_PATH="$units:" systemd-analyze verify "$units/pdudaemon.service" 2>&1)
}

# The control: a misspelt key must be reported, or this verify sees no drop-ins.
{ cat "$dropin"; echo "SupplementaryGroupz=dialout"; } >"$units/pdudaemon.service.d/relka.conf"
if ! verify | grep -q 'SupplementaryGroupz'; then
  echo "SKIP systemd-analyze verify: this systemd-analyze ($(systemd-analyze --version | head -n 1)) did not read a drop-in from $units"
  exit 77
fi

cp "$dropin" "$units/pdudaemon.service.d/relka.conf"
status=0
said=$(verify) || status=$?
[ -z "$said" ] || printf '%s\n' "$said"
if [ "$status" -ne 0 ]; then
  echo "FAIL: systemd-analyze verify exited $status"
  exit 1
fi
if printf '%s\n' "$said" | grep -q 'relka\.conf'; then
  echo "FAIL: systemd-analyze verify complained about the drop-in"
  exit 1
fi
echo "ok: systemd-analyze verify"
