#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark driver inside the Debian 12 systemd guest, where the package is installed. With
# /lab/bench saying "starts" (a boot that counts instructions, so the figures repeat): three starts
# each of gma950clock@400.service as installed, of gma950clock@auto.service, whose condition
# chooses the speed for the power source first, and of the same program in a unit without any
# hardening, each timed from systemd's "Starting" line to the program's first line, with the CPU
# the unit used; the medians are printed. With "resume" (plain emulation): the time from the
# kernel's wake-up after a real S3 cycle to the enabled unit's first line.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

# The banner's second line, which the program prints with its first: @auto's condition prints
# lines of its own before.
program_line='gma950clock - Intel(R) GMA 950 graphics core clock switch'
after_the_wake() { [ -n "$(lab_journal_ms "" 'kernel: PM: suspend exit' "$program_line")" ]; }
median() { sort -n | sed -n 2p; }

# start UNIT: one start; prints the milliseconds to the first line and the CPU milliseconds.
start() {
  systemctl reset-failed "$1" 2>/dev/null
  cursor=$(journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
  # QEMU's VGA is no GMA 950: the program refuses it and the unit fails, after the same work.
  systemctl start "$1" 2>/dev/null
  echo "$(lab_journal_ms "$cursor" "systemd[1]: Starting $1" "$program_line")" \
    "$(($(systemctl show -P CPUUsageNSec "$1") / 1000000))"
}

# measure UNIT WHAT: three starts of UNIT, then one line of medians.
measure() {
  { start "$1"; start "$1"; start "$1"; } >/tmp/runs
  if [ "$(awk 'NF == 2' /tmp/runs | wc -l)" -ne 3 ]; then
    echo "lab: FAIL: $1 did not print its first line three times: $(tr '\n' ' ' </tmp/runs)"
    lab_failed=$((lab_failed + 1))
    return
  fi
  echo "bench: $1 ($2): start to first line $(cut -d' ' -f1 /tmp/runs | median) ms," \
    "CPU $(cut -d' ' -f2 /tmp/runs | median) ms (runs, line/CPU: $(awk '{ printf "%s%s/%s", (NR > 1 ? " " : ""), $1, $2 }' /tmp/runs))"
}

systemctl is-system-running --wait >/dev/null
case $(cat /lab/bench) in
  starts)
    cat >/etc/systemd/system/gma950clock-unhardened@.service <<'UNIT'
[Unit]
Description=gma950clock without any hardening, for comparison

[Service]
Type=oneshot
ExecStart=/usr/sbin/gma950clock %i
SyslogIdentifier=gma950clock
UNIT
    systemctl daemon-reload
    echo "bench: systemd $(systemctl --version | awk 'NR == 1 { print $2 }'), $(uname -m), guest time counted in instructions"
    printf 'GMA950CLOCK_SPEED_ON_AC=400\nGMA950CLOCK_SPEED_ON_BAT=200\n' >/etc/default/gma950clock
    measure gma950clock@400.service "as installed"
    measure gma950clock@auto.service "the speed for the power source"
    measure gma950clock-unhardened@400.service "no hardening"
    for unit in gma950clock@400.service gma950clock@auto.service; do
      echo "bench: $unit: exposure $(systemd-analyze security "$unit" 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p') (systemd-analyze security)"
    done
    ;;
  resume)
    lab_check "suspended to S3 and woke up" lab_suspend systemctl suspend
    lab_check "the unit ran after resume" lab_wait 60 after_the_wake
    echo "bench: resume to the unit's first line $(lab_journal_ms "" 'kernel: PM: suspend exit' "$program_line") ms" \
      "(plain emulation: the host's load moves it)"
    ;;
esac
lab_finish
