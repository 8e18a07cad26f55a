#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark driver inside a Debian guest on the lab's GMA 950, with the package installed and 400
# MHz chosen, under any init: from the kernel's start to the model's log of the first write of
# 400's value at boot, and, over three real S3 cycles, from the model's reset at each resume to its
# log of that write again; the median is printed. Times are the kernel's log stamps, which with
# counted instructions repeat whatever the host does.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

# stamp TEXT: the kernel's stamp, in ms, of the first line in its log that holds TEXT.
stamp() {
  dmesg | awk -v text="$1" 'index($0, text) { sub(/^\[ */, ""); sub(/\].*/, ""); printf "%.0f\n", $0 * 1000; exit }'
}
written() { [ -n "$(stamp 'gma950-model: 0xF0 <- 34640533')" ]; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }
suspended_and_set() { lab_suspend "$sleep_command" suspend && lab_wait 60 written; }

if [ "$(cat /lab/init)" = systemd ]; then
  systemctl is-system-running --wait >/dev/null
  sleep_command=systemctl
else
  lab_check "elogind answers" lab_wait 60 elogind_ready
  sleep_command=loginctl
fi
lab_check "the clock was set at boot" lab_wait 60 written
boot=$(stamp 'gma950-model: 0xF0 <- 34640533')
: >/tmp/wakes
for wake in 1 2 3; do
  dmesg -C
  lab_check "suspend $wake, and the clock set again" suspended_and_set
  echo $(($(stamp 'gma950-model: 0xF0 <- 34640533') - $(stamp 'gma950-model: 0xF0 back to'))) >>/tmp/wakes
done
echo "bench: $(cat /lab/init) on $(uname -m): boot to set $boot ms, resume to set" \
  "$(sort -n /tmp/wakes | sed -n 2p) ms (median of $(tr '\n' ' ' </tmp/wakes | sed 's/ $//'))"
lab_finish
