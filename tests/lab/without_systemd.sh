#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the guests without systemd (sysv-rc, OpenRC or runit) on the lab's GMA 950, 400
# chosen, with the package (the LSB script, elogind's hook) or another distribution's staged set
# (/lab/installed: OpenRC's or runit's service, elogind's or zzz's hook); register 0xF0 and the
# model's log are read against /lab/clock_expectations after every event.
# First boot: set at boot, the whole report in the system log; set again when started by hand;
# the status names the setting; S3 and back (`loginctl suspend`, or what zzz does) runs the hook
# after the wake only; so do `loginctl hibernate` and the thaw, with a swap disk. Started again,
# 250 is set; a speed it cannot use fails, writes nothing and logs one line (runit: ten seconds
# on too). With the program removed (`dpkg -r`; or the staged files but those under /etc, kept as
# a package manager keeps changed configuration files), a resume logs nothing of it and leaves
# the power-on value. Second boot, the package installed and removed before it: nothing of it at
# boot; purged, nothing of it is left, and a resume leaves the power-on value.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

script=/etc/init.d/gma950clock
reader=/usr/lib/gma950clock/apply-default-speed
done400='Done - GMA 950 should now be running at a speed of 400 MHz'
# Where the speed is chosen: OpenRC's conf.d, where its own service is installed.
speed_file=/etc/default/gma950clock
[ ! -e /etc/conf.d/gma950clock ] || speed_file=/etc/conf.d/gma950clock
# What applies it at boot: the LSB script, OpenRC's own service or runit's.
service=lsb
if [ -e /etc/sv/gma950clock/run ]; then
  service=runit
elif head -n 1 "$script" | grep -q openrc-run; then
  service=openrc
fi
# What suspends: zzz where its hook is installed, elogind elsewhere.
hook=/etc/elogind/system-sleep/gma950clock
sleeper=elogind
if [ -e /etc/zzz.d/resume/gma950clock ]; then
  hook=/etc/zzz.d/resume/gma950clock
  sleeper=zzz
fi
suspended() {
  if [ "$sleeper" = zzz ]; then lab_zzz; else loginctl suspend; fi
}

# How each service is started again, and how it tells the setting held.
restarted() {
  case $service in
    lsb) "$script" restart ;;
    openrc) rc-service gma950clock restart ;;
    # sv waits until the service has been up a second, its run having applied the speed.
    runit) sv restart gma950clock ;;
  esac >/dev/null 2>&1
}
clock_status() {
  case $service in
    lsb) "$@" "$script" status ;;
    openrc) "$@" rc-service gma950clock clock ;;
    runit) "$@" "$reader" --status ;;
  esac
}
# A service that could not apply the speed: the start failed, or runit's took itself down.
restart_failed() {
  case $service in
    # Whether sv still saw the new run up depends on when it looked: the state after tells.
    runit)
      restarted
      lab_wait 10 sh -c 'sv status gma950clock | grep -q "^down:"'
      ;;
    *) ! restarted ;;
  esac
}

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
# The hook's report may be logged before or after the sleep manager's own note of the wake-up.
ran_after_the_wake_only() {
  case $(events) in
    "pre-$1 $2 $3 post-$1 run " | "pre-$1 $2 $3 run post-$1 ") ;;
    *) return 1 ;;
  esac
}
# What is logged under the program's tag is shown.
of_the_package() { grep -E 'gma950clock(\[[0-9]+\])?: '; }
nothing_of_the_package() { ! since_the_mark | of_the_package; }
nothing_of_the_package_this_boot() { ! system_log | of_the_package; }
# The program's lines in the system log, as it printed them but for the empty ones.
logged_report() { system_log | awk '{ at = index($0, " gma950clock: ") } at { print substr($0, at + 14) }'; }
report_of_the_boot_run() {
  logged_report | head -n 12 >/tmp/report
  lab_report 34d0e72d 34d0e72e 400 | grep -v '^$' | diff - /tmp/report
}
choose() { printf 'GMA950CLOCK_SPEED=%s\n' "$1" >"$speed_file"; }
# status_is CODE [SPEED [COMMAND...]]: the status, with GMA950CLOCK_SPEED=SPEED in the speed file
# for the while (default 400), run behind COMMAND; for the speed set, the line that names it.
status_is() {
  code=$1
  choose "${2:-400}"
  shift 2
  said=$(clock_status "$@")
  status=$?
  choose 400
  echo "lab: status: $said (exit $status)"
  [ "$status" -eq "$code" ] && { [ "$code" -ne 0 ] || [ "$said" = "gma950clock: the core clock is set to 400 MHz" ]; }
}
reported() { system_log | grep -qF "gma950clock: $done400"; }
nothing_refused() { ! system_log | grep -qE 'gma950clock: gma950clock: cannot'; }
refusals_logged() { [ "$(since_the_mark | grep -c "gma950clock: $speed_file: cannot use")" -eq "$1" ]; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }
post_hook_ran() { case $(events) in *"wake post-suspend"*) ;; *) false ;; esac; }
# What starts it at boot: sysv-rc's and runit's links in /etc/rc2.d, OpenRC's runlevels, runit's
# service folder.
start_links() { ls -d /etc/rc[S0-6].d/*gma950clock /etc/runlevels/*/gma950clock /etc/runit/runsvdir/default/gma950clock 2>/dev/null; }
# What goes: dpkg keeps the configuration files, the hook and the init script among them; of the
# staged files, those under /etc stay, as a package manager keeps the changed ones.
remove_the_program() {
  if [ -s /lab/installed ]; then
    grep -v '^/etc/' /lab/installed | xargs rm
  else
    dpkg -r gma950clock
  fi
}
only_config_files_left() {
  if [ -s /lab/installed ]; then
    [ ! -e "$reader" ] && [ -e "$hook" ] && { [ -e "$script" ] || [ -e /etc/sv/gma950clock/run ]; }
  else
    [ "$(dpkg-query -W -f '${db:Status-Abbrev}' gma950clock)" = "rc " ] && [ -e "$hook" ] && [ -e "$script" ]
  fi
}
nothing_left() {
  ! dpkg-query -W gma950clock 2>/dev/null && [ ! -e "$hook" ] && [ ! -e "$script" ] &&
    [ -z "$(start_links)" ] && [ -z "$(find / -xdev -name '*gma950clock*' ! -path '/lab/*' ! -path /etc/default/gma950clock)" ]
}

lab_check "the guest is the machine it should be" lab_is_expected_machine
lab_check "the init system is the one meant" lab_is_expected_init
lab_check "the tree kept its owners" lab_tree_keeps_owners
lab_check "elogind answers" lab_wait 60 elogind_ready
echo "lab: the $service service, its start links: $(start_links | tr '\n' ' '); the speed in $speed_file; the hook $hook"
case $(cat /lab/boot) in
  1)
    lab_check "it is enabled" [ -n "$(start_links)" ]
    lab_check "the program ran once at boot, as the system log says" events_are "run "
    lab_check "the system log holds the boot run's whole report" report_of_the_boot_run
    lab_check "0xF0 after boot" lab_clock_after boot
    lab_check "started again by hand, it succeeds" restarted
    lab_check "0xF0 after it" lab_clock_after start
    lab_check "status: the speed chosen is set" status_is 0 400
    lab_check "status: another speed is set" status_is 3 250
    lab_check "status: an ordinary user cannot read the register" \
      status_is 4 400 setpriv --reuid=65534 --regid=65534 --clear-groups --
    lab_check "the hook is in a folder the sleep manager reads" [ -x "$hook" ]
    mark "suspending"
    lab_check "suspended with $sleeper and woke up" lab_suspend suspended
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

    choose 250
    lab_check "with 250 chosen, started again, it succeeds" restarted
    lab_check "0xF0 after it" lab_clock_after restart-250
    choose 300
    mark "a speed it cannot use"
    lab_check "with 300 chosen, started again, it fails" restart_failed
    lab_check "0xF0 after it" lab_clock_after wrong-speed
    lab_check "one line logged" refusals_logged 1
    # runsv would start a run that ended again every second.
    if [ "$service" = runit ]; then
      sleep 10
      lab_check "and one line ten seconds on" refusals_logged 1
    fi
    choose 400

    echo "lab: the system log of this boot, what concerns the program, the model and the sleeps:"
    system_log | grep -E 'gma950clock|gma950-model|lab-witness|PM: suspend|Waking up'

    lab_check "the program is removed" remove_the_program
    lab_check "its configuration files stay, the hook and the init script among them" only_config_files_left
    mark "removed; suspending again"
    dmesg -C
    lab_check "suspended again and woke up" lab_suspend suspended
    lab_check "the post hooks ran after the second wake-up" lab_wait 10 post_hook_ran
    lab_check "nothing of the program ran or was logged" events_are "pre-suspend sleep wake post-suspend "
    lab_check "and nothing else of it was logged" nothing_of_the_package
    lab_check "0xF0 after the resume without the program" lab_clock_after removed-suspend
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
