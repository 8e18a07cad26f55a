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

# The clock select of 00:02.0 as the kernel reads it, in hex.
lab_register() {
  od -A n -t x4 -j 240 -N 4 /sys/bus/pci/devices/0000:00:02.0/config | tr -d ' '
}

# The model's lines in the kernel's log since the last check of lab_clock_after (or since boot, or
# since the log was cleared), a word each: "r" for the reset to the power-on value, else the value
# written; what was logged before the init system started (the harness's "lab: starting" mark) is
# "early:WORD", what came after the init's multi-user mark before the next check "late:WORD" (the
# runlevel, or the target, that the clock waited for up to 1.5.0: "lab: multi-user"). "-": nothing.
lab_model_log() {
  dmesg | awk '
    function word(w) { seen = seen " " (late ? "late:" : "") w }
    /lab: clock checked after / { seen = ""; late = 0; next }
    /lab: starting / { gsub(/ /, " early:", seen) }
    /lab: multi-user/ { late = 1 }
    /gma950-model: 0xF0 back to / { word("r") }
    /gma950-model: 0xF0 <- / { word($NF) }
    END { print seen == "" ? "-" : substr(seen, 2) }'
}

# lab_clock_is EVENT: whether the register and the model's log are what the row of EVENT in the
# harness's table of expectations (/lab/clock_expectations) says.
lab_clock_is() {
  lab_expected=$(awk -v event="$1" '$1 == event { $1 = ""; print substr($0, 2) }' /lab/clock_expectations)
  lab_seen="$(lab_register) $(lab_model_log)"
  [ -n "$lab_expected" ] && [ "$lab_seen" = "$lab_expected" ]
}

# lab_clock_after EVENT: waits until the register and the model's log show what the table says of
# EVENT, prints what they show, and marks the kernel's log, so that the next check sees only what
# comes after.
lab_clock_after() {
  lab_wait 30 lab_clock_is "$1"
  lab_status=$?
  echo "lab: after $1, 0xF0 and the model's log since the check before: $lab_seen (expected: $lab_expected)"
  echo "lab: clock checked after $1" >/dev/kmsg
  return "$lab_status"
}

# lab_report BEFORE AFTER SPEED: what the program prints when it sets SPEED, with the masked
# register BEFORE and AFTER.
lab_report() {
  lab_rule='**************************************************************************'
  printf '\n%s\n%s\n%s\n\n' "$lab_rule" 'gma950clock - Intel(R) GMA 950 graphics core clock switch for Linux' "$lab_rule"
  printf '%s\n' 'Sets the graphics core clock to 400, 250 or 200 MHz.' \
    'Run it as root; the clock returns to its default on resume from standby.' ''
  printf 'Hacking hardware registers now...\n\n%s\n%s\n\n' "$1" "$2"
  printf 'Done - GMA 950 should now be running at a speed of %s MHz\n\n' "$3"
  printf '%s\n%s\n%s\n\n' "$lab_rule" 'Exiting. Note: on return from standby the setting will be reset to default ' "$lab_rule"
}

# lab_power plug|unplug|charge|unplug-asleep: the laptop's mains adapter plugged in or unplugged,
# the battery's charge moving on its own, or the adapter unplugged while the machine sleeps (the
# model raises the change at the next wake, as the kernel's ACPI driver does). Returns once udev
# has handled the kernel's change events, and, under systemd, what they started has ended.
lab_power() {
  lab_parameters=/sys/module/gma950_model/parameters
  case $1 in
    plug | unplug)
      lab_online=1
      [ "$1" = plug ] || lab_online=0
      echo "$lab_online" >"$lab_parameters/mains_online" &&
        lab_wait 10 lab_udev_shows AC "POWER_SUPPLY_ONLINE=$lab_online"
      ;;
    charge)
      lab_charge=$(($(cat "$lab_parameters/battery_charge") - 1))
      echo "$lab_charge" >"$lab_parameters/battery_charge" &&
        lab_wait 10 lab_udev_shows BAT0 "POWER_SUPPLY_CAPACITY=$lab_charge"
      ;;
    unplug-asleep) echo 0 >"$lab_parameters/mains_online_at_wake" ;;
    *) false ;;
  esac && lab_settled
}

# lab_power_after EVENT ROW: the adapter or the battery as lab_power makes it, and the clock after
# it as lab_clock_after checks it.
lab_power_after() {
  lab_power "$1" && lab_clock_after "$2"
}

# lab_udev_shows SUPPLY PROPERTY: whether udev has handled the supply's last event.
lab_udev_shows() {
  udevadm info -q property "/sys/class/power_supply/$1" | grep -qx "$2"
}

# Once udev has handled every event queued, and systemd has no job left that they started.
lab_settled() {
  udevadm settle
  [ ! -d /run/systemd/system ] || lab_wait 30 lab_no_jobs
}

lab_no_jobs() {
  [ -z "$(systemctl list-jobs --no-legend)" ]
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

# What zzz (Void's, and Alpine's port) does to suspend, zzz not being in Debian: every executable
# of /etc/zzz.d/suspend in order, `mem` into /sys/power/state, then, once awake, every executable
# of /etc/zzz.d/resume in order, with ZZZ_MODE naming the phase and the caller's PATH.
lab_zzz() {
  lab_zzz_hooks suspend
  echo mem >/sys/power/state || return 1
  lab_zzz_hooks resume
}

lab_zzz_hooks() {
  for lab_hook in /etc/zzz.d/"$1"/*; do
    [ ! -x "$lab_hook" ] || ZZZ_MODE=$1 "$lab_hook"
  done
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
