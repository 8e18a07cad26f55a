#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark driver inside a Debian guest on the lab's GMA 950, with the package installed and the
# speed file choosing 400 on mains and 200 on battery (under systemd, gma950clock@auto.service
# enabled), under any init: from the kernel's start, and from the init's (the harness's mark right
# before its first process becomes the init), to the model's log of the first write of 400's value
# at boot; over three real S3 cycles, from the model's reset at each resume to its log of that
# write again; and three times each, from the model's unplugging of its mains adapter to its log
# of 200's value, and from its plugging in to 400's. The medians are printed. Times are the
# kernel's log stamps, which with counted instructions repeat whatever the host does.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

# stamp TEXT: the kernel's stamp, in ms, of the first line in its log that holds TEXT.
stamp() {
  dmesg 2>/dev/null | awk -v text="$1" 'index($0, text) { sub(/^\[ */, ""); sub(/\].*/, ""); printf "%.0f\n", $0 * 1000; exit }'
}
written() { [ -n "$(stamp "gma950-model: 0xF0 <- $1")" ]; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }
suspended_and_set() { lab_suspend "$sleep_command" suspend && lab_wait 60 written 34640533; }
# measure FILE FROM TO: one more figure in FILE, the ms from the first line holding FROM to the
# first holding TO, once the log holds both.
measure() {
  lab_wait 60 written "${3##* }" || return 1
  echo $(($(stamp "$3") - $(stamp "$2"))) >>"$1"
}
# median FILE: the median of three figures, and the three.
median() { echo "$(sort -n "$1" | sed -n 2p) ms ($(tr '\n' ' ' <"$1" | sed 's/ $//'))"; }

if [ "$(cat /lab/init)" = systemd ]; then
  systemctl is-system-running --wait >/dev/null
  sleep_command=systemctl
else
  lab_check "elogind answers" lab_wait 60 elogind_ready
  sleep_command=loginctl
fi
lab_check "the clock was set at boot" lab_wait 60 written 34640533
boot=$(stamp 'gma950-model: 0xF0 <- 34640533')
init=$(stamp 'lab: starting')
: >/tmp/wakes
: >/tmp/unplugs
: >/tmp/plugs
for round in 1 2 3; do
  dmesg -C
  lab_check "suspend $round, and the clock set again" suspended_and_set
  measure /tmp/wakes 'gma950-model: 0xF0 back to' 'gma950-model: 0xF0 <- 34640533'
  dmesg -C
  lab_check "unplug $round, and the battery's speed set" lab_power unplug
  lab_check "the unplug's time" measure /tmp/unplugs 'gma950-model: mains unplugged' 'gma950-model: 0xF0 <- 34640534'
  dmesg -C
  lab_check "plug $round, and mains's speed set" lab_power plug
  lab_check "the plug's time" measure /tmp/plugs 'gma950-model: mains plugged in' 'gma950-model: 0xF0 <- 34640533'
done
echo "bench: $(cat /lab/init) on $(uname -m): init's start to set $((boot - init)) ms, kernel's start to set $boot ms," \
  "resume to set $(median /tmp/wakes), unplug to set $(median /tmp/unplugs), plug to set $(median /tmp/plugs)"
lab_finish
