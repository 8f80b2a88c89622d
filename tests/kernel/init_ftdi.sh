#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# /init of the FTDI machine: relka, relkactl and relkad against the kernel's
# ftdi_sio driver, on QEMU's usb-serial adapter (an FT232) behind an xHCI
# controller. The modules come from Debian's generic kernel, in the order
# /lib/modules/load gives. There is no udev: the /dev/serial/by-id links are
# made here from sysfs, named as udev names them. The host pulls the adapter
# out and plugs it back (same serial number) when asked with "host unplug"
# and "host plug", and pulls it in the middle of a frame with "host cut N"
# (after N modem-control requests).
. /lib/vm_lib.sh

for module in $(cat /lib/modules/load); do
  insmod /lib/modules/$module || kernel_mark "@ setup insmod_failed $module"
done
ip link set lo up

# Waits up to 10 s for a ttyUSB to be there (or, with "gone", for none),
# then makes the by-id links again, as udev would.
wait_adapter() {  # [gone]
  i=0
  while [ $i -lt 1000 ]; do
    set -- "$1" /dev/ttyUSB*
    if [ "$1" = gone ]; then [ ! -e "$2" ] && break; else [ -e "$2" ] && break; fi
    usleep 10000
    i=$((i + 1))
  done
  make_by_id
}

# udev's name: usb-VENDOR_MODEL_SERIAL-ifNN-portN, each string with its
# white space made '_' and any other unusual character too.
udev_string() {  # FILE
  tr -s ' \t' '__' <"$1" | sed 's/^_//; s/_$//; s/[^0-9A-Za-z#+.:=@_-]/_/g'
}

make_by_id() {
  rm -rf /dev/serial
  mkdir -p /dev/serial/by-id
  for tty in /sys/class/tty/ttyUSB*; do
    [ -e "$tty" ] || continue
    port=$(readlink -f "$tty/device")
    interface=${port%/*}
    usb=${interface%/*}
    name="usb-$(udev_string $usb/manufacturer)_$(udev_string $usb/product)"
    name="${name}_$(udev_string $usb/serial)-if$(cat $interface/bInterfaceNumber)"
    ln -s "../../${tty##*/}" "/dev/serial/by-id/$name-port$(cat $port/port_number)"
  done
}

wait_adapter
LINE=/dev/ttyUSB0
LOCK=/var/lock/LCK..ttyUSB0
BYID=$(echo /dev/serial/by-id/*)
note setup by_id "$BYID"

# The frame table, and an open and close alone.
frame_table

# The line's settings are put back: the defaults, then unusual ones.
same_settings stty.default
same_settings stty.19200 19200 cs7 parenb -hupcl

ctl_table
single ctl.byid relkactl -d "$BYID" set 0x0f
single ctl.byid_status relkactl -d "$BYID" status

# relkad, started before the pull, on the same adapter by its by-id name.
cat >/tmp/lab.toml <<EOF
[line.usb]
device = "$BYID"

[box.b0]
line = "usb"
address = 0
EOF
if command -v relkad >/dev/null; then
  relkad --listen=127.0.0.1:7421 --lab=/tmp/lab.toml --wait=1 >/tmp/relkad.log 2>&1 &
  relkad=$!
  i=0
  # Listening on 127.0.0.1:7421 (0x1CFD), state 0A.
  while ! grep -q '0100007F:1CFD 00000000:0000 0A' /proc/net/tcp && [ $i -lt 500 ]; do
    usleep 10000
    i=$((i + 1))
  done
else
  note setup relkad none
  relkad=
fi

# One labgrid request to relkad: its HTTP status and its answer.
relkad_put() {  # CASE OUTLET VALUE
  [ -n "$relkad" ] || return
  kernel_mark begin "$1"
  printf 'PUT /outlet/b0/%s HTTP/1.0\r\nHost: 127.0.0.1:7421\r\nContent-Length: 1\r\n\r\n%s' \
    "$2" "$3" | nc -w 10 127.0.0.1 7421 >/tmp/out 2>/tmp/err
  kernel_mark end "$1"
  note "$1" http "$(head -n 1 /tmp/out | cut -d ' ' -f 2)"
  sed '1,/^\r*$/d' /tmp/out >/tmp/body
  send_file "$1" body /tmp/body
  note_locks "$1"
}
relkad_put relkad.before 8 1

# A holder keeps ttyUSB0's number taken across the pull, so that the
# adapter comes back as another ttyUSB.
sleep 100000 <$LINE &
holder=$!

# Pulled during a cycle's pause: the off frame went out whole, the on frame
# cannot be sent.
kernel_mark begin pull.cycle
relkactl -d "$BYID" cycle --delay 3 3 >/tmp/out 2>/tmp/err &
cycle=$!
i=0
# The cycle mark goes in with the switch's under-way record, before the
# off frame; the frame is whole once the new mask replaced that record.
paused() {
  for f in /tmp/state/*; do
    grep -qs '^cycle' "$f" && grep -qs '^mask' "$f" && return 0
  done
  return 1
}
while ! paused && [ $i -lt 500 ]; do usleep 10000; i=$((i + 1)); done
kernel_mark host unplug
wait_adapter gone
wait $cycle
status=$?
kernel_mark end pull.cycle
note pull.cycle status $status
send_file pull.cycle stderr /tmp/err
note_locks pull.cycle
single pull.status relkactl -d "$BYID" status
relkad_put relkad.gone 8 0

kernel_mark host plug
wait_adapter
kill $holder
note replug by_id "$(ls -l /dev/serial/by-id/ | grep -o 'tty[A-Z]*[0-9]*$')"
single replug.on3 relkactl -d "$BYID" on 3
single replug.set relkactl -d "$BYID" set 0x30
single replug.off5 relkactl -d "$BYID" off 5
relkad_put relkad.back 1 1
if [ -n "$relkad" ]; then
  kill $relkad
  wait $relkad
fi

# Pulled in the middle of a frame: after the open's request and three of
# the frame's.
kernel_mark host cut 4
single cut.frame relkactl -d "$BYID" set 0xaa
single cut.status relkactl -d "$BYID" status

kernel_mark done
poweroff -f
