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

