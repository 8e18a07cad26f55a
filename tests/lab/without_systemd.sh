#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the guests without systemd (sysv-rc, OpenRC or runit) on the lab's GMA 950, with
# the package (the LSB script, elogind's hook, the udev rules) or another distribution's staged set
# (/lab/installed: OpenRC's or runit's service, elogind's or zzz's hook, udev's rules or none); the
# speed file chooses 400, or 400 on mains and 200 on battery; register 0xF0 and the model's log are
# read against /lab/clock_expectations after every event.
# First boot: set once at boot, early (before the runlevel, or stage, that the clock waited for up
# to 1.5.0; in OpenRC's default runlevel where the administrator put it there), for the power
# source the laptop booted on, the whole report in the system log; an enabled script's links where
# the script now starts; started again by hand, it writes nothing; the status names the setting,
# the source and its speed. With udev's rules and a speed for each source: unplugged, plugged,
# each one write, a battery's own event none; unplugged during a sleep, the wake sets the
# battery's speed. Without them: a plug writes nothing, but a wake sets the source's speed. S3
# and back (`loginctl suspend`, or what zzz does) runs the hook after the wake only; so do
# `loginctl hibernate` and the thaw, with a swap disk. Started again, 250 is set, and neither
# source changes it; a speed it cannot use fails, writes nothing and logs one line (runit: ten
# seconds on too), as does an unplug with a wrong speed for the battery. With the program removed
# (`dpkg -r`; or the staged files but those under /etc, kept as a package manager keeps changed
# configuration files), a resume logs nothing of it and leaves the power-on value. Second boot,
# the package installed and removed before it: nothing of it at boot; purged, nothing of it is
# left, and a resume leaves the power-on value.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

script=/etc/init.d/gma950clock
reader=/usr/lib/gma950clock/apply-default-speed
done='Done - GMA 950 should now be running at a speed of'
# Where the speed is chosen: OpenRC's conf.d, where its own service is installed. The guest's own
# file is kept aside, for the checks that choose another speed for a while.
speed_file=/etc/default/gma950clock
[ ! -e /etc/conf.d/gma950clock ] || speed_file=/etc/conf.d/gma950clock
cp "$speed_file" /tmp/speeds 2>/dev/null
# A speed for each source, or one for both; the rules that follow the source, or none.
by_source=
! grep -q GMA950CLOCK_SPEED_ON_ /tmp/speeds 2>/dev/null || by_source=1
rules=
[ ! -e /usr/lib/udev/rules.d/85-gma950clock.rules ] || rules=1
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
  system_log | awk -v done="$done" '
    /lab-mark: / { seen = "" }
    /lab-witness: hook called: / { sub(/.*hook called: /, ""); seen = seen $1 "-" $2 " " }
    /kernel: .*PM: suspend entry/ { seen = seen "sleep " }
    /kernel: .*PM: suspend exit/ { seen = seen "wake " }
    /kernel: .*PM: hibernation: hibernation entry/ { seen = seen "hibernate " }
    /kernel: .*PM: hibernation: hibernation exit/ { seen = seen "thaw " }
    index($0, "gma950clock: " done) { seen = seen "run " }
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
# The program's report of the boot's write: the power-on value before, the speed's after (masked).
report_of_the_boot_run() {
  logged_report | head -n 12 >/tmp/report
  lab_report 34d0e72d "$(printf '%x' $((0x$setting ^ 0x00B4E21D)))" "$speed" | grep -v '^$' | diff - /tmp/report
}
choose() { printf 'GMA950CLOCK_SPEED=%s\n' "$1" >"$speed_file"; }
speeds_as_set_up() { cp /tmp/speeds "$speed_file"; }
# status_is CODE [SPEED [COMMAND...]]: the status, run behind COMMAND, with GMA950CLOCK_SPEED=SPEED
# in the speed file for the while (or the guest's own file, for an empty SPEED); for the speed
# set, the lines that name it, the source and the variable that chose it.
status_is() {
  code=$1
  if [ -n "${2:-}" ]; then choose "$2"; fi
  shift 2
  said=$(clock_status "$@")
  status=$?
  speeds_as_set_up
  echo "lab: status: $said (exit $status)"
  [ "$status" -eq "$code" ] && { [ "$code" -ne 0 ] || [ "$said" = "gma950clock: the core clock is set to $speed MHz
gma950clock: on $source power, $chooser asks for $speed MHz" ]; }
}
# The report of a write after the last mark.
reported_after_the_wake() { since_the_mark | grep -qF "gma950clock: $done"; }
# The laptop's source now, the speed it asks for and the register's value for it, the variable
# that chose it, and the table's rows that hold them.
on_source() {
  source=mains speed=400 setting=34640533 chooser=GMA950CLOCK_SPEED row_suffix=
  [ "$(cat /sys/module/gma950_model/parameters/mains_online)" = Y ] || source=battery
  [ -z "$by_source" ] || chooser=GMA950CLOCK_SPEED_ON_AC
  if [ "$source" = battery ] && [ -n "$by_source" ]; then
    speed=200 setting=34640534 chooser=GMA950CLOCK_SPEED_ON_BAT row_suffix=-on-battery
  fi
}
# Where what starts it at boot is: the package's script in S, and under OpenRC in its sysinit
# runlevel, and in no runlevel after them; a staged set where its users put it.
starts_where_it_should() {
  links=" $(start_links | tr '\n' ' ')"
  case $service:$links in
    lsb:*/etc/rc[1-5].d/* | lsb:*/runlevels/default/*) false ;;
    lsb:*" /etc/rcS.d/S"[0-9][0-9]"gma950clock "*) [ ! -e /run/openrc ] || [ -e /etc/runlevels/sysinit/gma950clock ] ;;
    openrc:" /etc/runlevels/sysinit/gma950clock " | openrc:" /etc/runlevels/default/gma950clock ") ;;
    runit:" /etc/runit/runsvdir/default/gma950clock ") ;;
    *) false ;;
  esac
}
# The first boot's write in OpenRC's default runlevel: the administrator put it there.
boot_row() {
  if [ -e /etc/runlevels/default/gma950clock ] && [ -z "$rules" ]; then
    echo boot-in-default$row_suffix
  else
    echo boot$row_suffix
  fi
}
wrong_speed_for_the_battery() {
  printf 'GMA950CLOCK_SPEED_ON_AC=400\nGMA950CLOCK_SPEED_ON_BAT=300\n' >"$speed_file"
}
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
    on_source
    lab_check "it is enabled where it starts now" starts_where_it_should
    lab_check "the program ran once at boot, as the system log says" events_are "run "
    lab_check "the system log holds the boot run's whole report" report_of_the_boot_run
    lab_check "0xF0 after booting on $source power" lab_clock_after "$(boot_row)"
    lab_check "started again by hand, it succeeds" restarted
    lab_check "0xF0 after it" lab_clock_after "start$row_suffix"
    lab_check "status: the speed chosen is set" status_is 0 ''
    lab_check "status: another speed is set" status_is 3 250
    lab_check "status: an ordinary user cannot read the register" \
      status_is 4 '' setpriv --reuid=65534 --regid=65534 --clear-groups --
    if [ -n "$rules" ] && [ -n "$by_source" ]; then
      [ "$source" = mains ] || lab_check "plugged in, mains's speed" lab_power_after plug plug
      lab_check "unplugged, the battery's speed" lab_power_after unplug unplug
      lab_check "plugged in again, mains's speed" lab_power_after plug plug
      lab_check "the battery's charge moves: nothing runs" lab_power_after charge charge
    elif [ -n "$by_source" ]; then
      lab_check "without udev's rules, unplugged: nothing runs" lab_power_after unplug unplug-without-udev
    fi
    lab_check "the hook is in a folder the sleep manager reads" [ -x "$hook" ]
    [ -z "$rules" ] || [ -z "$by_source" ] || lab_power unplug-asleep
    mark "suspending"
    lab_check "suspended with $sleeper and woke up" lab_suspend suspended
    lab_check "the kernel woke from S3" lab_resumed_from_s3
    lab_check "the program's report is in the system log" lab_wait 10 reported_after_the_wake
    lab_check "the hook ran after the wake-up, not before the sleep" \
      lab_wait 10 ran_after_the_wake_only suspend sleep wake
    if [ -n "$by_source" ]; then
      lab_check "0xF0 after waking on battery" lab_clock_after wake-on-battery
      if [ -n "$rules" ]; then
        lab_check "plugged in again, mains's speed" lab_power_after plug plug
      else
        lab_check "without udev's rules, plugged in: nothing runs" lab_power_after plug plug-without-udev
      fi
    else
      lab_check "0xF0 after the resume" lab_clock_after suspend
    fi
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
    if [ -n "$rules" ]; then
      lab_check "one speed for both sources, unplugged: nothing is written" lab_power_after unplug same-speed-250
      lab_check "and plugged in again" lab_power_after plug same-speed-250
    fi
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
    if [ -n "$rules" ] && [ -n "$by_source" ]; then
      wrong_speed_for_the_battery
      mark "a speed for the battery it cannot use"
      lab_check "with 300 for the battery, unplugged: nothing is written" lab_power_after unplug wrong-speed
      lab_check "one line logged" refusals_logged 1
      lab_power plug
    fi
    speeds_as_set_up

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
