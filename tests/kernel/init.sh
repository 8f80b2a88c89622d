#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# /init of the kernel test's initramfs: runs relka and relkactl against the
# VM's second UART (ttyS1; ttyS0 is the console) and says what happened on
# QEMU's debug console (kernel_mark, port 0xe9):
#
#   begin CASE / end CASE    around what CASE did to the line
#   @ CASE KEY VALUE...      one fact (an exit status, the lock folder)
#   @file CASE KEY           a file's lines, each as "| LINE", then "@end"
#   done                     every case ran
#
# The host reads the same bytes in QEMU's trace, between the UART's register
# writes, and checks there what went out on the wire.
. /lib/vm_lib.sh

LINE=/dev/ttyS1
LOCK=/var/lock/LCK..ttyS1

# relka's frame table, and an open and close alone.
frame_table

# A lock file of a process that is gone is taken over.
write_lock "$(dead_pid)"
single relka.stale_lock relka -q -d $LINE -a 2 -s 5

# A live one is respected, and left as it was.
sleep 600 &
holder=$!
write_lock $holder
cp $LOCK /tmp/lock.before
single relka.live_lock relka -q -d $LINE -a 2 -s 5
cmp -s $LOCK /tmp/lock.before && note relka.live_lock lock_kept yes

# Through a symbolic link the lock is still the terminal's own.
ln -s ttyS1 /dev/relka-link
single link.live_lock relka -q -d /dev/relka-link -a 4 -s 9
cmp -s $LOCK /tmp/lock.before && note link.live_lock lock_kept yes
kill $holder
wait $holder
write_lock "$(dead_pid)"
single link.stale_lock relka -q -d /dev/relka-link -a 4 -s 9
rm -f $LOCK

# The line's settings are put back: the defaults, then unusual ones.
same_settings stty.default
same_settings stty.changed 19200 cs7 parenb -hupcl

# relkactl, box 0, remembering in /tmp/state.
ctl_table
single ctl.status relkactl -d $LINE status

# While another process holds the line (its lock file names a live pid),
# a refused run must leave the line alone.
sleep 600 &
holder=$!
write_lock $holder
single held.relka relka -q -d $LINE
single held.relkactl relkactl --wait 0.3 -d $LINE on 1
kill $holder
wait $holder
rm -f $LOCK

# Two relka runs started together, the second 0 to 4.75 ms later. Under
# TCG a round takes about 0.1 s and a frame 3 to 10 ms of it, so only some
# rounds have one run's open or close inside the other's frame.
i=0
for offset in $(seq 0 250 4750); do
  i=$((i + 1))
  name=race.$i
  kernel_mark begin $name
  relka -q -d $LINE -a 2 -s 5 >/tmp/out1 2>/tmp/err1 &
  first=$!
  [ $offset -gt 0 ] && usleep $offset
  relka -q -d $LINE -a 3 -s 6 >/tmp/out2 2>/tmp/err2 &
  second=$!
  wait $first
  status1=$?
  wait $second
  status2=$?
  kernel_mark end $name
  note $name status.1 $status1
  note $name status.2 $status2
  send_file $name stderr.1 /tmp/err1
  send_file $name stderr.2 /tmp/err2
  note_locks $name
  rm -f $LOCK
done
note race rounds $i

# Eight relkactl toggles at once, from a known state.
single toggle.set0 relkactl -d $LINE set 0
kernel_mark begin toggle.8
for n in 1 2 3 4 5 6 7 8; do
  relkactl -d $LINE --wait 10 toggle $n >/tmp/out$n 2>/tmp/err$n &
  eval "pid$n=\$!"
done
for n in 1 2 3 4 5 6 7 8; do
  eval "wait \$pid$n"
  eval "status$n=\$?"
done
kernel_mark end toggle.8
for n in 1 2 3 4 5 6 7 8; do
  eval "note toggle.8 status.$n \$status$n"
  send_file toggle.8 stderr.$n /tmp/err$n
done
note_locks toggle.8
single toggle.status relkactl -d $LINE status

# Refused on the state alone: with the box's state unknown, relkactl says
# so without opening the line.
relkactl -d $LINE forget
single unknown.refused relkactl -d $LINE on 2

# A run that wants an outlet another run's cycle holds off waits on the
# state, and opens the line only for its own frame once the cycle is over.
relkactl -d $LINE set 1 >/dev/null 2>&1
relkactl -d $LINE cycle 1 --delay 1 >/dev/null 2>&1 &
cycler=$!
usleep 300000
single cycle.waiter relkactl -d $LINE on 1
wait $cycler

# relka's frame is what relkactl knows next.
single relka.records relka -q -d $LINE -s 255
single relka.status relkactl -d $LINE status

kernel_mark done
poweroff -f
