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

# lab_suspend COMMAND...: arms the RTC to wake the guest in 5 s, then suspends with COMMAND and
# waits until the kernel is back. Under emulation only S3 wakes up (s2idle never does).
lab_suspend() {
  rtcwake -m no -s 5 >/dev/null || return 1
  "$@" || return 1
  lab_wait 60 lab_resumed
}

lab_resumed() {
  dmesg | grep -q 'PM: suspend exit'
}

lab_resumed_from_s3() {
  dmesg | grep -q 'ACPI: PM: Waking up from system sleep state S3'
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

# Prints the verdict and powers the guest off at once; the harness has all it needs by then.
lab_finish() {
  echo "lab: done, $lab_failed failed"
  sync
  echo o >/proc/sysrq-trigger
  sleep 60
}
