#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sources the completion files in bash and checks what they offer.
#
#   completion_test.sh FOLDER      (the folder holding relka, relkactl, relka-sim)
set -uo pipefail
folder=${1:?usage: completion_test.sh FOLDER}
failures=0

# shellcheck source=completion/relka
. "$folder/relka"
# shellcheck source=completion/relkactl
. "$folder/relkactl"
# shellcheck source=completion/relka-sim
. "$folder/relka-sim"

# Completes a command line as bash would with the cursor at its end (a
# trailing space starts an empty word) and prints the offers, sorted, on
# one line.
offers() {
  local line=$1
  local -a words
  read -r -a words <<<"$line"
  [[ $line == *' ' ]] && words+=('')
  local function
  function=$(complete -p "${words[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$function"
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}

expect() {
  local line=$1 want=$2 got
  got=$(offers "$line")
  if [[ $got == "$want" ]]; then
    echo "ok: '$line' -> $got"
  else
    echo "FAIL: '$line' -> '$got', wanted '$want'"
    failures=$((failures + 1))
  fi
}

expect 'relka --q' '--quite'
expect 'relka --a' '--address'
expect 'relka -' '--address --device --help --quite --set --version -a -d -h -q -s -v'
expect 'relka -s ' ''
expect 'relkactl c' 'cycle'
expect 'relkactl ' 'cycle forget list off on set status toggle'
expect 'relkactl on ' '1 2 3 4 5 6 7 8 all'
expect 'relkactl -d /dev/x -a 2 cycle 3 ' '1 2 3 4 5 6 7 8 all'
expect 'relkactl --json t' 'toggle'
expect 'relkactl set ' ''
expect 'relkactl --v' '--version'
expect 'relkactl --' '--address --box --break-lease --delay --device --help --json --lab --quiet --state-dir --version --wait'
expect 'relkactl --q' '--quiet'
expect 'relkactl --address 2 ' 'cycle forget list off on set status toggle'
expect 'relkactl --address 2 on ' '1 2 3 4 5 6 7 8 all'
expect 'relkactl --wait 5 --delay 1 cycle ' '1 2 3 4 5 6 7 8 all'
expect 'relkactl on 3 --de' '--delay --device'
expect 'relkactl cycle 3 --delay ' ''
expect 'relkactl on 3 --address ' ''
expect 'relka-sim --j' '--json'
expect 'relka-sim --vcd x.vcd -' '-- --help --json --relka --time-limit --vcd -h'
expect 'relka-sim -- --qu' '--quite'
expect 'relka-sim r' 'run'
expect 'relka-sim run --l' '--line'
expect 'relka-sim run --json -' '-- --help --json --line --time-limit --vcd -h'
expect 'relka-sim run -- umockdev-wrappe' 'umockdev-wrapper'

# Names from the lab file, as relkactl list prints them (a stand-in here,
# which also checks that --lab reaches it).
relkactl() {
  [[ $1 == --lab && $2 == lab.toml && $3 == list ]] || return 1
  printf '%s\n' 'line    bench            /dev/relka' \
    'box     rack1-top        line bench, address 1: 0x04' \
    'outlet  web1             rack1-top outlet 3: on' \
    'outlet  web2             rack1-top outlet 4: off'
}
expect 'relkactl --lab lab.toml on w' 'web1 web2'
expect 'relkactl --lab lab.toml -b r' 'rack1-top'
expect 'relkactl --lab lab.toml --box rack1-top cycle 3 web' 'web1 web2'
expect 'relkactl --lab lab.toml status ' 'rack1-top web1 web2'
expect 'relkactl on w' ''
unset -f relkactl

# Devices: the patterns pointed at a folder that stands in for /dev.
dev=$(mktemp -d)
trap 'rm -rf "$dev"' EXIT
mkdir -p "$dev/serial/by-id"
touch "$dev/ttyUSB0" "$dev/ttyUSB1" "$dev/ttyACM0" "$dev/relka" \
      "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"
_relka_device_patterns=("$dev/serial/by-id/*" "$dev/ttyUSB*" "$dev/ttyACM*"
                        "$dev/ttyS*" "$dev/relka*")
expect "relka -d $dev/ttyU" "$dev/ttyUSB0 $dev/ttyUSB1"
expect "relka --device $dev/r" "$dev/relka"
expect "relkactl --device $dev/r" "$dev/relka"
expect "relkactl on 3 -d $dev/ttyA" "$dev/ttyACM0"
expect "relkactl -d $dev/serial/by-id/" \
       "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"
expect "relka-sim -- -d $dev/ttyA" "$dev/ttyACM0"

# relka-sim run's command: a program on PATH or a script by its path.
touch "$dev/lab-script.sh"
expect "relka-sim run --line /dev/relka -- $dev/lab-s" "$dev/lab-script.sh"

# Response files after "@".
touch "$dev/lab-rack.rsp"
expect "relka @$dev/lab-r" "@$dev/lab-rack.rsp"

if [ "$failures" -ne 0 ]; then
  echo "$failures completion check(s) failed"
  exit 1
fi
