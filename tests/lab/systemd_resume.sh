#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the systemd guest, where the package is installed, gma950clock@400.service enabled
# and /etc/default/gma950clock naming another speed: the unit runs at boot and again after a real
# S3 suspend and resume, reaching the device both times, and nothing else runs the program (the
# defaults file is not read under systemd, and the init script never acts). With a swap disk, the
# unit runs again after a thaw from hibernation and after a hybrid sleep, in the same boot. It
# makes no system call outside its list, on the whole write path too, and systemd finds every
# mount point it needs in the program's root folder; an instance that is not a speed fails;
# removing the package makes systemd forget it.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

# What the program says of QEMU's VGA at 00:02.0 once it has read its identity.
refusal='gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was changed'
unit=gma950clock@400.service

runs() { journalctl -q -o cat -u "$unit" | grep -cxF "$refusal"; }
ran() { [ "$(runs)" -eq "$1" ]; }
# Every run of the program in the journal, of any unit or script, is the enabled instance's.
only_the_enabled_instance_ran() {
  [ "$(journalctl -q -o cat | grep -c 'Hacking hardware registers')" -eq "$(runs)" ] &&
    [ "$(journalctl -q -o cat -u "$unit" | grep -c 'Hacking hardware registers')" -eq "$(runs)" ]
}
# The program's own exit (code 1 = exited), with status 1 for the refusal: not a signal.
exited_by_itself() {
  [ "$(systemctl show -P ExecMainCode "${1:-$unit}")" = 1 ] &&
    [ "$(systemctl show -P ExecMainStatus "${1:-$unit}")" = 1 ]
}
no_refusal() { ! journalctl -q -o cat -u "$unit" | grep -q 'cannot access'; }
# The run lines and the kernel's sleep lines, in journal order.
events() {
  journalctl -q -o short-monotonic | awk -v refusal="$refusal" '
    index($0, refusal) { printf "run " }
    /kernel: PM: suspend entry/ { printf "sleep " }
    /kernel: PM: suspend exit/ { printf "wake " }
    /kernel: PM: hibernation: hibernation entry/ { printf "hibernate " }
    /kernel: PM: hibernation: hibernation exit/ { printf "thaw " }'
}
events_are() { [ "$(events)" = "$1" ]; }
one_boot() { [ "$(journalctl --list-boots -q | wc -l)" -eq 1 ]; }
# Woken from S3 by the lab's sleep hook, the kernel ends the hibernation it began, with the same
# line as after a thaw (a hybrid sleep logs no suspend entry or exit of its own).
lab_hybrid_sleep() {
  systemctl hybrid-sleep && lab_wait 120 lab_thawed
}
root=/usr/lib/gma950clock/root
root_as_shipped() {
  find "$root" | sort >/tmp/root.found
  dpkg-query -L gma950clock | grep "^$root" | sort | diff - /tmp/root.found
}
# @250 as installed, but a call outside the list kills the program instead of failing with EPERM.
strict=gma950clock@250.service
strict_run() {
  mkdir -p "/etc/systemd/system/$strict.d"
  printf '[Service]\nSystemCallErrorNumber=\n' >"/etc/systemd/system/$strict.d/lab-fatal-calls.conf"
  systemctl daemon-reload
  ! systemctl start "$strict" && exited_by_itself "$strict" &&
    journalctl -q -o cat -u "$strict" | grep -qxF "$refusal"
}
# A GMA 950 made up for the unit: a folder whose config file holds a 945GM's identity and 200 MHz
# in register 0xF0, bound over 00:02.0's folder in sysfs. There the unit goes the whole write path,
# still with every other call fatal, and leaves 250 MHz in the file.
gma950=/sys/devices/pci0000:00/0000:00:02.0
strict_write_path() {
  mkdir -p /run/lab-gma950
  { printf '\206\200\242\047'; head -c 236 /dev/zero; printf '\064\005\144\064'; head -c 12 /dev/zero; } \
    >/run/lab-gma950/config
  mount --bind /run/lab-gma950 "$gma950" || return 1
  systemctl start "$strict"
  status=$?
  umount "$gma950"
  [ "$status" -eq 0 ] &&
    journalctl -q -o cat -u "$strict" | grep -qxF 'Done - GMA 950 should now be running at a speed of 250 MHz' &&
    [ "$(od -A n -t x1 -j 240 -N 4 /run/lab-gma950/config)" = " 31 05 64 34" ]
}

lab_check "the guest is the machine it should be" lab_is_expected_machine
lab_check "the init system is the one meant" lab_is_expected_init
lab_check "the tree kept its owners" lab_tree_keeps_owners
systemctl is-system-running --wait >/dev/null
lab_check "the unit ran at boot and reached the device" lab_wait 60 ran 1
lab_check "the boot run ended by its own exit" exited_by_itself
lab_check "suspended to S3 and woke up" lab_suspend systemctl suspend
lab_check "the kernel woke from S3" lab_resumed_from_s3
lab_check "the unit ran again after resume" lab_wait 60 ran 2
lab_check "one run before the sleep and one after it" events_are "run sleep wake run "
lab_check "the resume run ended by its own exit" exited_by_itself
lab_check "no run was refused access" no_refusal
lab_check "the gma950clock.service made of the init script is masked" \
  [ "$(systemctl show -P LoadState gma950clock.service)" = masked ]
lab_check "only the enabled instance ran, not the defaults file's speed" only_the_enabled_instance_ran
echo "lab: resume latency $(lab_journal_ms "" 'kernel: PM: suspend exit' "$refusal") ms"

if [ -e /lab/hibernate ]; then
  lab_check "swap on the lab's disk" sh -c 'mkswap /dev/vda >/dev/null && swapon /dev/vda'
  lab_check "hibernated and thawed" lab_hibernate systemctl hibernate
  lab_check "the unit ran again after the thaw" lab_wait 60 ran 3
  lab_check "in the same boot" one_boot
  lab_check "the thaw run ended by its own exit" exited_by_itself
  echo "lab: thaw latency $(lab_journal_ms "" 'PM: hibernation: hibernation exit' "$refusal") ms"
  dmesg -C
  lab_check "hybrid sleep: the image written, then S3 and woken" lab_hybrid_sleep
  lab_check "the kernel woke from S3" lab_resumed_from_s3
  lab_check "the unit ran again after the hybrid sleep" lab_wait 60 ran 4
  lab_check "one run at boot, and one after each sleep" \
    events_are "run sleep wake run hibernate thaw run hibernate thaw run "
  lab_check "no run was refused access" no_refusal
  lab_check "the last run ended by its own exit" exited_by_itself
  echo "lab: the journal around the sleeps:"
  journalctl -q -o short-monotonic --no-hostname | grep -E 'PM: (hibernation|suspend|Image|Wrote|Read)|hibernat|Waking up|gma950clock\[|lab-witness|Reached target|systemd-sleep'
fi

lab_check "with every other call fatal, @250 still runs to its refusal" strict_run
lab_check "and through the whole write path, on a made-up GMA 950" strict_write_path
lab_check "systemd made nothing in the program's root folder" root_as_shipped

lab_check "gma950clock@300 fails to start" eval '! systemctl start gma950clock@300.service'
lab_check "gma950clock@300 is failed" [ "$(systemctl is-failed gma950clock@300.service)" = failed ]
lab_check "one journal line names the allowed values" \
  [ "$(journalctl -q -o cat -u gma950clock@300.service -t gma950clock | grep -c '@400, @250 or @200')" -eq 1 ]
lab_check "the program did not run for @300" \
  eval '! journalctl -q -o cat -u gma950clock@300.service | grep -q "Hacking hardware registers"'

lab_check "the unit is loaded before removal" [ "$(systemctl show -P LoadState "$unit")" = loaded ]
lab_check "dpkg removes the package" dpkg -r gma950clock
lab_check "systemd no longer knows the unit" [ "$(systemctl show -P LoadState "$unit")" = not-found ]

echo "lab: the journal of both units and the kernel's sleep:"
journalctl -q -o short-monotonic --no-hostname -u "$unit" -u "$strict" -u gma950clock@300.service
journalctl -q -o short-monotonic --no-hostname _PID=1 | grep -E "gma950clock|Reload"
journalctl -q -o short-monotonic -k --no-hostname | grep -E 'PM: suspend (entry|exit)|Waking up'
lab_finish
