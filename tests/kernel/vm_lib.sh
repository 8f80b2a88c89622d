# SPDX-License-Identifier: MIT
# Sourced by the kernel tests' /init scripts (init.sh, init_ftdi.sh): the
# VM's file systems, and how a case tells the host what happened, on QEMU's
# debug console (kernel_mark, port 0xe9; the lines are listed in
# kernel_vm.py). LOCK is the lock file of the line under test.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /var/lock /tmp/state
export RELKA_STATE_DIR=/tmp/state

note() {
  kernel_mark "@ $*"
}

send_file() {  # CASE KEY FILE
  {
    echo "@file $1 $2"
    while IFS= read -r text || [ -n "$text" ]; do echo "| $text"; done <"$3"
    echo "@end"
  } | kernel_mark
}

# The lock folder after a run: the names in it, and the lock file's content.
note_locks() {  # CASE
  note "$1" locks $(ls /var/lock)
  [ -e "$LOCK" ] && send_file "$1" lock_file "$LOCK"
}

# One command in a case of its own: its status, output and the lock folder.
single() {  # CASE COMMAND...
  name=$1
  shift
  kernel_mark begin "$name"
  "$@" >/tmp/out 2>/tmp/err
  status=$?
  kernel_mark end "$name"
  note "$name" status "$status"
  send_file "$name" stdout /tmp/out
  send_file "$name" stderr /tmp/err
  note_locks "$name"
}

# A pid that is surely not running: a child that has exited and been reaped.
dead_pid() {
  sh -c 'exit 0' &
  pid=$!
  wait $pid
  echo $pid
}

write_lock() {  # PID
  printf '%10d\n' "$1" >"$LOCK"
}


# The cases both machines run on LINE:

# relka's frame table (box address and mask), then an open and close alone.
frame_table() {
  for pair in 2:5 0:0 7:255 96:3; do
    single "relka.a${pair%:*}.s${pair#*:}" relka -d $LINE -a "${pair%:*}" -s "${pair#*:}"
  done
  single relka.probe relka -q -d $LINE
}

# A relka run that puts the line's settings back: stty -a before and after,
# sent with the case; stty's own opens fall between the cases. With STTY
# the line is set so first, and back to the defaults after.
same_settings() {  # CASE [STTY...]
  settings_case=$1
  shift
  [ $# -gt 0 ] && stty -F $LINE "$@"
  stty -F $LINE -a >/tmp/stty.before 2>/dev/null
  single "$settings_case" relka -q -d $LINE -a 2 -s 5
  stty -F $LINE -a >/tmp/stty.after 2>/dev/null
  send_file "$settings_case" before /tmp/stty.before
  send_file "$settings_case" after /tmp/stty.after
  if [ $# -gt 0 ]; then stty -F $LINE 9600 cs8 -parenb hupcl; fi
}

# relkactl on box 0, remembering in $RELKA_STATE_DIR: set, then single
# outlets on and off.
ctl_table() {
  single ctl.set0 relkactl -d $LINE set 0
  single ctl.on3 relkactl -d $LINE on 3
  single ctl.on1 relkactl -d $LINE on 1
  single ctl.off3 relkactl -d $LINE off 3
}
