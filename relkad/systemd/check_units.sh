#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks relkad's systemd units: first the settings relkad depends on (the
# socket on 127.0.0.1:7421, group dialout, the lock and state folders
# writable, the serial terminals reachable, lock files readable by all, no
# token file the start would fail without); then, where systemd-analyze
# has what is needed (systemd 250 or later for --offline):
#   - "systemd-analyze verify" of relkad.socket and relkad.service, then
#     again with the example drop-ins in place (a copy with a misspelt key
#     must draw a complaint, or verify read no drop-in); any complaint
#     fails;
#   - "systemd-analyze security --offline=true" of relkad.service: the
#     overall exposure is printed and must be 2.0 or less.
# The units name /usr/sbin/relkad, which verify wants to exist: where it
# is not installed, a copy of the service runs the built relkad instead.
# The Documentation= pages are looked up in the build's man pages.
# Exits 77 (skipped) when systemd-analyze or what it needs is missing,
# unless RELKA_REQUIRE names systemd or is "all": then that fails.
#
#   check_units.sh UNIT-FOLDER [BUILT-RELKAD [MAN-FOLDER]]
set -eu
folder=${1:?usage: check_units.sh UNIT-FOLDER [BUILT-RELKAD [MAN-FOLDER]]}
built=${2:-}
man_folder=${3:-}
socket=$folder/relkad.socket
service=$folder/relkad.service
token_dropin=$folder/relkad.service.d/token.conf
users_dropin=$folder/relkad.service.d/users.conf
listen_dropin=$folder/relkad.socket.d/listen.conf
limit=2.0

fail() { echo "FAIL: $*"; exit 1; }
required() {
  for word in ${RELKA_REQUIRE:-}; do
    case $word in systemd|all) return 0 ;; esac
  done
  return 1
}
skip() {
  if required; then
    echo "FAIL: $* (RELKA_REQUIRE asks for systemd)"
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}
values() {  # the values of key $2 in unit file $1, one line, space-separated
  sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*//p" "$1" | tr '\n' ' '
}
want() {  # file, key, one of the words its values must hold
  case " $(values "$1" "$2") " in
    *" $3 "*) echo "ok: $(basename "$1") $2 has $3" ;;
    *) fail "$(basename "$1"): $2 does not have $3 (it has: $(values "$1" "$2"))" ;;
  esac
}

for file in "$socket" "$service" "$token_dropin" "$users_dropin" "$listen_dropin"; do
  [ -f "$file" ] || fail "no $file"
done

want "$socket" ListenStream 127.0.0.1:7421
want "$socket" IPAddressAllow localhost
want "$socket" IPAddressDeny any
want "$service" Type notify
want "$service" ExecStart /usr/sbin/relkad
want "$service" DynamicUser yes
want "$service" SupplementaryGroups dialout
want "$service" ReadWritePaths /run/lock
want "$service" ReadWritePaths /var/lib/relka
want "$service" ProtectSystem strict
want "$service" DevicePolicy closed
want "$service" DeviceAllow char-ttyUSB
want "$service" DeviceAllow char-ttyACM
want "$service" DeviceAllow char-ttyS
want "$service" Also relkad.socket
want "$token_dropin" LoadCredential token:/etc/relka/relkad.token
want "$users_dropin" LoadCredential users:/etc/relka/relkad-users.toml
# PrivateDevices= would leave relkad a /dev without the serial adapters.
case " $(values "$service" PrivateDevices) " in
  *" yes "*|*" true "*|*" on "*|*" 1 "*) fail "relkad.service sets PrivateDevices=, which hides the serial adapters" ;;
esac
echo "ok: relkad.service keeps the host's /dev (PrivateDevices= not set)"
# A LoadCredential= file that is missing stops the start (systemd 252):
# the token comes from a drop-in once it exists.
[ -z "$(values "$service" LoadCredential)" ] ||
  fail "relkad.service loads a credential, and would not start without its file"
echo "ok: relkad.service starts without a token file"
# UUCP lock files hold the holder's pid for every other user of the line.
umask_value=$(values "$service" UMask | tr -d ' ')
case $umask_value in
  ''|0022|022|0002|002) echo "ok: lock files stay readable by all (UMask=${umask_value:-default})" ;;
  *) fail "UMask=$umask_value makes relkad's lock files unreadable to relkactl" ;;
esac
# The drop-in replaces the default address instead of adding a second one.
first_listen=$(sed -n 's/^[[:space:]]*ListenStream[[:space:]]*=[[:space:]]*//p' "$listen_dropin" | head -n 1)
[ -z "$first_listen" ] || fail "listen.conf must begin with an empty ListenStream= (relkad serves one socket)"
echo "ok: listen.conf replaces the address"

command -v systemd-analyze >/dev/null 2>&1 ||
  skip "systemd-analyze is not installed (Debian package systemd)"
systemd-analyze --help 2>&1 | grep -q -- '--offline=' ||
  skip "this systemd-analyze ($(systemd-analyze --version | head -n 1)) has no --offline (systemd 250 or later)"

units=$(mktemp -d)
trap 'rm -rf "$units"' EXIT INT TERM
cp "$socket" "$service" "$units/"
if [ -x /usr/sbin/relkad ]; then
  echo "ok: verifying against the installed /usr/sbin/relkad"
elif [ -n "$built" ] && [ -x "$built" ]; then
  sed "s|^ExecStart=/usr/sbin/relkad|ExecStart=$built|" "$service" >"$units/relkad.service"
  echo "note: /usr/sbin/relkad is not installed; verifying a copy of the service that runs $built"
else
  skip "neither /usr/sbin/relkad nor a built relkad to verify the service with"
fi

# The Documentation= pages, from the build where it made them.
man_check=--man=yes
if [ -n "$man_folder" ] && [ -f "$man_folder/relkad.8.gz" ] && [ -f "$man_folder/relka-lab.toml.5.gz" ]; then
  mkdir "$units/man" "$units/man/man8" "$units/man/man5"
  cp "$man_folder/relkad.8.gz" "$units/man/man8/"
  cp "$man_folder/relka-lab.toml.5.gz" "$units/man/man5/"
  echo "ok: Documentation= pages from $man_folder"
else
  man_check=--man=no
  echo "note: no built man pages (scdoc missing?); Documentation= not checked"
fi

verify() {  # prints what systemd-analyze verify says; fails when it fails
  (cd "$units" && MANPATH="$units/man" SYSTEMD_UNIT_PATH="$units:" \
     systemd-analyze verify "$man_check" "$units/relkad.socket" "$units/relkad.service" 2>&1)
}
verify_clean() {  # $1: what is being verified
  status=0
  said=$(verify) || status=$?
  [ -z "$said" ] || printf '%s\n' "$said"
  [ "$status" -eq 0 ] || fail "systemd-analyze verify of $1 exited $status"
  [ -z "$said" ] || fail "systemd-analyze verify complained about $1"
  echo "ok: systemd-analyze verify of $1"
}
verify_clean "relkad.socket and relkad.service"

# The drop-ins: a misspelt key must be reported, or verify sees no drop-ins.
mkdir "$units/relkad.service.d" "$units/relkad.socket.d"
{ cat "$token_dropin"; echo "LoadCredentialz=token:/nowhere"; } >"$units/relkad.service.d/token.conf"
if ! verify | grep -q 'LoadCredentialz'; then
  skip "this systemd-analyze ($(systemd-analyze --version | head -n 1)) did not read a drop-in from $units"
fi
cp "$token_dropin" "$units/relkad.service.d/token.conf"
cp "$listen_dropin" "$units/relkad.socket.d/listen.conf"
verify_clean "the units with the example drop-ins token.conf and listen.conf"
rm "$units/relkad.service.d/token.conf"
cp "$users_dropin" "$units/relkad.service.d/users.conf"
verify_clean "the units with the example drop-ins users.conf and listen.conf"
rm -r "$units/relkad.service.d" "$units/relkad.socket.d"

# Exposure, as systemd-analyze security rates the service (0 to 10).
status=0
rating=$(cd "$units" && systemd-analyze security --no-pager --offline=true "$units/relkad.service" 2>&1) || status=$?
exposure=$(printf '%s\n' "$rating" | sed -n 's/.*Overall exposure level for relkad\.service: \([0-9][0-9]*\.[0-9]\).*/\1/p')
if [ "$status" -ne 0 ] || [ -z "$exposure" ]; then
  printf '%s\n' "$rating"
  skip "systemd-analyze security --offline=true gave no exposure for relkad.service (status $status)"
fi
echo "what still counts against relkad.service:"
printf '%s\n' "$rating" | awk '$NF ~ /^[0-9]+\.[0-9]+$/ { print "  " $0 }'
echo "relkad.service exposure: $exposure (limit $limit)"
awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e + 0 <= l + 0) }' ||
  fail "relkad.service's exposure $exposure is above $limit"
echo "ok: systemd-analyze security"
