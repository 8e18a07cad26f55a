#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the guests without systemd (sysv-rc, OpenRC or runit, with elogind), where the
# package is installed and /etc/default/gma950clock says GMA950CLOCK_SPEED=400.
# First boot: the init script applied the speed at boot; `loginctl suspend` to S3 and back runs
# the package's sleep hook after the wake-up (not before the sleep); with a swap disk, so does
# `loginctl hibernate` and the thaw; each time the program's report, which shows it reached the
# device, is in the system log. Once the package is removed (not purged), another suspend and
# resume logs nothing of it.
# Second boot, the package installed and removed before it: nothing of it ran at boot, and once it
# is purged nothing of it is left, under any init.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

hook=/etc/elogind/system-sleep/gma950clock
script=/etc/init.d/gma950clock
# What the program says of QEMU's VGA at 00:02.0 once it has read its identity.
refusal='gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was changed'

# The system log: busybox's syslogd keeps it in memory (logread) unless /etc/syslog.conf names
# files, as Debian 13's does; the harness makes that one file for every facility.
system_log() {
  if [ -e /etc/syslog.conf ]; then cat /var/log/syslog; else logread; fi
}

# The witness's calls, the kernel's sleeps and the program's reports, in the order they were
# logged since the last "lab-mark" line (or since the start).
events() {
  system_log | awk -v refusal="$refusal" '
    /lab-mark: / { seen = "" }
    /lab-witness: hook called: / { sub(/.*hook called: /, ""); seen = seen $1 "-" $2 " " }
    /kernel: .*PM: suspend entry/ { seen = seen "sleep " }
    /kernel: .*PM: suspend exit/ { seen = seen "wake " }
    /kernel: .*PM: hibernation: hibernation entry/ { seen = seen "hibernate " }
    /kernel: .*PM: hibernation: hibernation exit/ { seen = seen "thaw " }
    index($0, "gma950clock: " refusal) { seen = seen "run " }
    END { printf "%s", seen }'
}
since_the_mark() { system_log | awk '/lab-mark: / { kept = "" } { kept = kept $0 "\n" } END { printf "%s", kept }'; }
mark() { logger -t lab-mark "$1"; }
events_are() { [ "$(events)" = "$1" ]; }
# The hook's report may be logged before or after elogind's own note of the wake-up.
ran_after_the_wake_only() {
  case $(events) in
    "pre-$1 $2 $3 post-$1 run " | "pre-$1 $2 $3 run post-$1 ") ;;
    *) return 1 ;;
  esac
}
# What is logged under the package's tag is shown.
of_the_package() { grep -E 'gma950clock(\[[0-9]+\])?: '; }
nothing_of_the_package() { ! since_the_mark | of_the_package; }
nothing_of_the_package_this_boot() { ! system_log | of_the_package; }
reported() { system_log | grep -qF "gma950clock: $refusal"; }
no_refusal() { ! system_log | grep -q 'cannot access'; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }
post_hook_ran() { case $(events) in *"wake post-suspend"*) ;; *) false ;; esac; }
# The links that start the script: sysv-rc's and runit's in /etc/rc2.d, OpenRC's runlevels.
start_links() { ls /etc/rc[S0-6].d/*gma950clock /etc/runlevels/*/gma950clock 2>/dev/null; }
# Removed, not purged: dpkg keeps the configuration files, the hook and the init script among them.
only_config_files_left() {
  [ "$(dpkg-query -W -f '${db:Status-Abbrev}' gma950clock)" = "rc " ] && [ -e "$hook" ] && [ -e "$script" ]
}
nothing_left() {
  ! dpkg-query -W gma950clock 2>/dev/null && [ ! -e "$hook" ] && [ ! -e "$script" ] &&
    [ -z "$(start_links)" ] && [ -z "$(find / -xdev -name '*gma950clock*' ! -path '/lab/*' ! -path /etc/default/gma950clock)" ]
}

lab_check "the guest is the machine it should be" lab_is_expected_machine
lab_check "the init system is the one meant" lab_is_expected_init
lab_check "the tree kept its owners" lab_tree_keeps_owners
lab_check "elogind answers" lab_wait 60 elogind_ready
echo "lab: the init script's start links: $(start_links | tr '\n' ' ')"
case $(cat /lab/boot) in
  1)
    lab_check "the init script is enabled" [ -n "$(start_links)" ]
    lab_check "the program ran once at boot, as the system log says" events_are "run "
    lab_check "the hook is in a folder elogind reads" [ -x "$hook" ]
    mark "suspending"
    lab_check "suspended with loginctl and woke up" lab_suspend loginctl suspend
    lab_check "the kernel woke from S3" lab_resumed_from_s3
    lab_check "the program's report is in the system log" lab_wait 10 reported
    lab_check "the hook ran after the wake-up, not before the sleep" \
      lab_wait 10 ran_after_the_wake_only suspend sleep wake
    if [ -e /lab/hibernate ]; then
      lab_check "swap on the lab's disk" sh -c 'mkswap /dev/vda >/dev/null && swapon /dev/vda'
      mark "hibernating"
      lab_check "hibernated with loginctl and thawed" lab_hibernate loginctl hibernate
      lab_check "the hook ran after the thaw, not before the image was made" \
        lab_wait 30 ran_after_the_wake_only hibernate hibernate thaw
      echo "lab: the system log around the hibernation:"
      since_the_mark
      echo "lab: the kernel's hibernation:"
      dmesg | grep -E 'PM: (hibernation|Image|Wrote|Read|Creating|Restoring)|Freezing|image'
    fi
    lab_check "the program reached the device every time" no_refusal

    echo "lab: the system log of this boot, what concerns the package and the sleeps:"
    system_log | grep -E 'gma950clock|lab-witness|PM: suspend|Waking up'

    lab_check "dpkg removes the package" dpkg -r gma950clock
    lab_check "its configuration files stay, the hook and the init script among them" only_config_files_left
    mark "removed; suspending again"
    dmesg -C
    lab_check "suspended again and woke up" lab_suspend loginctl suspend
    lab_check "the post hooks ran after the second wake-up" lab_wait 10 post_hook_ran
    lab_check "nothing of the package ran or was logged" events_are "pre-suspend sleep wake post-suspend "
    lab_check "and nothing else of the package was logged" nothing_of_the_package
    echo "lab: the system log after the removal:"
    since_the_mark
    ;;
  2)
    lab_check "the package was removed before this boot" only_config_files_left
    lab_check "nothing of the package ran or was logged at boot" nothing_of_the_package_this_boot
    lab_check "dpkg purges the package" dpkg -P gma950clock
    lab_check "nothing of the package is left, nor a start link" nothing_left
    echo "lab: the start links and files left after the purge: $(start_links)"
    ;;
esac
lab_finish
