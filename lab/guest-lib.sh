# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the drivers inside the lab's Debian guests: named checks, the ACPI S3 cycle with an
# RTC alarm to wake from, and the verdict the harness reads off the serial console.
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

# Prints the verdict and powers the guest off at once; the harness has all it needs by then.
lab_finish() {
  echo "lab: done, $lab_failed failed"
  sync
  echo o >/proc/sysrq-trigger
}
