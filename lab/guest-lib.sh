# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced inside the lab's guests: named checks, the machine the harness meant to boot, the ACPI
# S3 cycle with an RTC alarm to wake from, and the verdict the harness reads off the serial console.
# shellcheck shell=sh

lab_failed=0

# lab_check NAME COMMAND...: one "ok" or "FAIL" line per check.
lab_check() {
  lab_name=$1
  shift
  if "$@"; then
    echo "lab: ok: $lab_name"
  else
    echo "lab: FAIL: $lab_name"
    lab_failed=$((lab_failed + 1))
  fi
}

# lab_wait SECONDS COMMAND...: polls until COMMAND succeeds; fails after SECONDS.
lab_wait() {
  lab_left=$1
  shift
  until "$@"; do
    [ "$lab_left" -gt 0 ] || return 1
    lab_left=$((lab_left - 1))
    sleep 1
  done
}

# Whether this is the machine the harness booted: /lab/machine holds what `uname -m` says there,
# the CPU's model name (nothing: any model) and the number of processors.
lab_is_expected_machine() {
  { read -r lab_expected_uname; read -r lab_expected_model; read -r lab_expected_processors; } </lab/machine
  lab_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  lab_processors=$(grep -c '^processor' /proc/cpuinfo)
  echo "lab: machine: $(uname -m), $lab_model, $lab_processors processor(s)"
  [ "$(uname -m)" = "$lab_expected_uname" ] && [ "$lab_processors" = "$lab_expected_processors" ] &&
    case $lab_model in *"$lab_expected_model"*) ;; *) false ;; esac
}

# Loads the lab's GMA 950 model into the kernel where the harness put it in (/lab), and lets the
# kernel's log say so. PCI 00:02.0 is then 8086:27ae, and its clock select reads 34640530.
lab_load_model() {
  [ -e /lab/gma950_model.ko ] || return 0
  insmod /lab/gma950_model.ko "$@" && [ "$(cat /sys/bus/pci/devices/0000:00:02.0/vendor)" = 0x8086 ]
}

# Whether the init system that booted the guest is the one the harness meant (/lab/init).
lab_is_expected_init() {
  lab_first=$(cat /proc/1/comm)
  echo "lab: init: $(cat /lab/init); the first process: $lab_first"
  case $(cat /lab/init) in
    systemd) [ "$lab_first" = systemd ] ;;
    sysvinit) [ "$lab_first" = init ] && [ ! -e /run/openrc ] ;;
    openrc) [ "$lab_first" = init ] && [ -e /run/openrc/softlevel ] ;;
    runit) [ "$lab_first" = runit ] ;;
    *) false ;;
  esac
}

# Whether the tree kept its owners when packed: D-Bus's set-uid launch helper is root:messagebus,
# mode 4754, and runs for messagebus only so.
lab_tree_keeps_owners() {
  [ "$(stat -c '%U:%G %a' /usr/lib/dbus-1.0/dbus-daemon-launch-helper)" = "root:messagebus 4754" ]
}

# lab_suspend COMMAND...: suspends with COMMAND and waits until the kernel is back. The lab's sleep
# hook arms the RTC to wake the guest; under emulation only S3 wakes up (s2idle never does).
lab_suspend() {
  "$@" || return 1
  lab_wait 60 lab_resumed
}

lab_resumed() {
  dmesg | grep -q 'PM: suspend exit'
}

lab_resumed_from_s3() {
  dmesg | grep -q 'ACPI: PM: Waking up from system sleep state S3'
}

# lab_hibernate COMMAND...: hibernates with COMMAND, which powers the guest off once the image is
# written; the harness then boots it again from the same disk, and this returns once the image is
# thawed. The mark tells the harness that the guest hibernated rather than failed. The console
# then shows all of the kernel's messages: whoever reads the log must expect them.
lab_hibernate() {
  echo "lab: hibernating"
  # The kernel's word on writing the image reaches the console, the one place that keeps it: it
  # comes after the image of the kernel's own log was taken.
  echo 7 >/proc/sys/kernel/printk
  "$@" || return 1
  lab_wait 300 lab_thawed
}

lab_thawed() {
  dmesg | grep -q 'PM: hibernation: hibernation exit'
}

# lab_journal_ms CURSOR FROM TO: the milliseconds, in the journal's monotonic time, from the first
# entry after CURSOR (or since boot, for an empty CURSOR) that holds the text FROM to the first
# entry after that one that holds TO. Both must lie on the same side of a sleep: monotonic time
# stops during S3.
lab_journal_ms() {
  journalctl -q -o short-monotonic ${1:+"--after-cursor=$1"} | awk -v from="$2" -v to="$3" '
    { stamp = $0; sub(/^\[ */, "", stamp); sub(/\].*/, "", stamp) }
    start == "" && index($0, from) { start = stamp; next }
    start != "" && index($0, to) { printf "%.0f\n", (stamp - start) * 1000; exit }'
}

# Prints the verdict and powers the guest off; the harness has all it needs by then, once the
# serial port has drained.
lab_finish() {
  echo "lab: done, $lab_failed failed"
  sync
  sleep 1
  echo o >/proc/sysrq-trigger
  sleep 60
}
