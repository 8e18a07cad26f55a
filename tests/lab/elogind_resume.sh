#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the guests without systemd (sysv-rc, OpenRC or runit, with elogind) on the lab's
# GMA 950, where the package is installed and /etc/default/gma950clock says GMA950CLOCK_SPEED=400;
# after every event, register 0xF0 and the model's log are read against the table of expectations
# (/lab/clock_expectations).
# First boot: the init script set the speed at boot, its whole report in the system log, and sets
# it again when started by hand, with status 0; `loginctl suspend` to S3 and back runs the
# package's sleep hook after the wake-up (not before the sleep); with a swap disk, so does
# `loginctl hibernate` and the thaw; each time the program's report is in the system log. Once the
# package is removed (not purged), another suspend and resume logs nothing of it and leaves the
# register at its power-on value.
# Second boot, the package installed and removed before it: nothing of it ran at boot, and once it
# is purged nothing of it is left, under any init, and a resume leaves the power-on value.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

hook=/etc/elogind/system-sleep/gma950clock
script=/etc/init.d/gma950clock
done400='Done - GMA 950 should now be running at a speed of 400 MHz'

# The system log: busybox's syslogd keeps it in memory (logread) unless /etc/syslog.conf names
# files, as Debian 13's does; the harness makes that one file for every facility.
system_log() {
  if [ -e /etc/syslog.conf ]; then cat /var/log/syslog; else logread; fi
}

# The witness's calls, the kernel's sleeps and the program's reports, in the order they were
# logged since the last "lab-mark" line (or since the start).
events() {
  system_log | awk -v done400="$done400" '
    /lab-mark: / { seen = "" }
    /lab-witness: hook called: / { sub(/.*hook called: /, ""); seen = seen $1 "-" $2 " " }
    /kernel: .*PM: suspend entry/ { seen = seen "sleep " }
    /kernel: .*PM: suspend exit/ { seen = seen "wake " }
    /kernel: .*PM: hibernation: hibernation entry/ { seen = seen "hibernate " }
    /kernel: .*PM: hibernation: hibernation exit/ { seen = seen "thaw " }
    index($0, "gma950clock: " done400) { seen = seen "run " }
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
# The program's lines in the system log, as it printed them but for the empty ones.
logged_report() { system_log | awk '{ at = index($0, " gma950clock: ") } at { print substr($0, at + 14) }'; }
report_of_the_boot_run() {
  logged_report | head -n 12 >/tmp/report
  lab_report 34d0e72d 34d0e72e 400 | grep -v '^$' | diff - /tmp/report
}
started_by_hand() { "$script" start >/dev/null 2>&1; }
# status_is CODE [SPEED [COMMAND...]]: the init script's status, with GMA950CLOCK_SPEED=SPEED in the
# defaults file for the while (default 400), run behind COMMAND.
status_is() {
  code=$1
  printf 'GMA950CLOCK_SPEED=%s\n' "${2:-400}" >/etc/default/gma950clock
  shift 2
  "$@" "$script" status
  status=$?
  echo GMA950CLOCK_SPEED=400 >/etc/default/gma950clock
  [ "$status" -eq "$code" ]
}
reported() { system_log | grep -qF "gma950clock: $done400"; }
nothing_refused() { ! system_log | grep -qE 'gma950clock: gma950clock: cannot'; }
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
    lab_check "the system log holds the boot run's whole report" report_of_the_boot_run
    lab_check "0xF0 after boot" lab_clock_after boot
    lab_check "the init script started by hand ends with status 0" started_by_hand
    lab_check "0xF0 after it" lab_clock_after start
    lab_check "status: the defaults file's speed is set" status_is 0 400
    lab_check "status: another speed is set" status_is 3 250
    lab_check "status: an ordinary user cannot read the register" \
      status_is 4 400 setpriv --reuid=65534 --regid=65534 --clear-groups --
    lab_check "the hook is in a folder elogind reads" [ -x "$hook" ]
    mark "suspending"
    lab_check "suspended with loginctl and woke up" lab_suspend loginctl suspend
    lab_check "the kernel woke from S3" lab_resumed_from_s3
    lab_check "the program's report is in the system log" lab_wait 10 reported
    lab_check "the hook ran after the wake-up, not before the sleep" \
      lab_wait 10 ran_after_the_wake_only suspend sleep wake
    lab_check "0xF0 after the resume" lab_clock_after suspend
    if [ -e /lab/hibernate ]; then
      lab_check "swap on the lab's disk" sh -c 'mkswap /dev/vda >/dev/null && swapon /dev/vda'
      mark "hibernating"
      lab_check "hibernated with loginctl and thawed" lab_hibernate loginctl hibernate
      lab_check "the hook ran after the thaw, not before the image was made" \
        lab_wait 30 ran_after_the_wake_only hibernate hibernate thaw
      lab_check "0xF0 after the thaw" lab_clock_after hibernate
      echo "lab: the system log around the hibernation:"
      since_the_mark
      echo "lab: the kernel's hibernation:"
      dmesg | grep -E 'PM: (hibernation|Image|Wrote|Read|Creating|Restoring)|Freezing|image'
    fi
    lab_check "no run was refused" nothing_refused

    echo "lab: the system log of this boot, what concerns the package, the model and the sleeps:"
    system_log | grep -E 'gma950clock|gma950-model|lab-witness|PM: suspend|Waking up'

    lab_check "dpkg removes the package" dpkg -r gma950clock
    lab_check "its configuration files stay, the hook and the init script among them" only_config_files_left
    mark "removed; suspending again"
    dmesg -C
    lab_check "suspended again and woke up" lab_suspend loginctl suspend
    lab_check "the post hooks ran after the second wake-up" lab_wait 10 post_hook_ran
    lab_check "nothing of the package ran or was logged" events_are "pre-suspend sleep wake post-suspend "
    lab_check "and nothing else of the package was logged" nothing_of_the_package
    lab_check "0xF0 after the resume without the package" lab_clock_after removed-suspend
    echo "lab: the system log after the removal:"
    since_the_mark
    ;;
  2)
    lab_check "the package was removed before this boot" only_config_files_left
    lab_check "nothing of the package ran or was logged at boot" nothing_of_the_package_this_boot
    lab_check "0xF0 at boot without the package" lab_clock_after removed-boot
    lab_check "dpkg purges the package" dpkg -P gma950clock
    lab_check "nothing of the package is left, nor a start link" nothing_left
    echo "lab: the start links and files left after the purge: $(start_links)"
    lab_check "suspended after the purge and woke up" lab_suspend loginctl suspend
    lab_check "0xF0 after the resume once purged" lab_clock_after purged-suspend
    ;;
esac
lab_finish
