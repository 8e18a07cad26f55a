#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the systemd guests on the lab's GMA 950, read against the table of expectations
# (/lab/clock_expectations) after every event: register 0xF0 and the model's log.
# First boot: the package is installed; gma950clock@400.service is enabled and
# /etc/default/gma950clock names another speed, or gma950clock@auto.service is enabled and the
# file chooses 400 on mains and 200 on battery. The unit sets the speed once at boot, before
# multi-user.target, for the source the laptop booted on, its whole report in the journal, and
# again after a real S3 resume; with a swap disk after a thaw from hibernation and after a hybrid
# sleep, in the same boot. @400 writes nothing when the source changes; @auto has the speed's own
# instance set each source's speed, once a plug, nothing for a battery's own event, the battery's
# after a wake from a sleep the adapter was unplugged in, and its status says what it found.
# Nothing else runs the program. With every call outside its list fatal, @250 sets its speed;
# systemd finds every mount point it needs in the program's root folder; an instance that is not a
# speed fails; once the package is removed systemd forgets it and a resume leaves the register at
# its power-on value.
# Second boot, the package installed and removed before it: the unit systemd before 260 makes of
# the init script left behind says nothing (260 and later make none), the enable links stay; purge
# takes them, and nothing is left.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

done='Done - GMA 950 should now be running at a speed of'
# The instance enabled: a speed, or auto.
for unit in /etc/systemd/system/multi-user.target.wants/gma950clock@*.service; do
  unit=${unit##*/}
  break
done

runs() { journalctl -q -o cat -u "$unit" | grep -c "^$done"; }
ran() { [ "$(runs)" -eq "$1" ]; }
# Every run of the program in the journal, of any unit or script, is one the enabled instance made.
only_the_enabled_instance_ran() {
  [ "$(journalctl -q -o cat | grep -c 'Hacking hardware registers')" -eq "$(runs)" ] &&
    [ "$(journalctl -q -o cat -u "$unit" | grep -c 'Hacking hardware registers')" -eq "$(runs)" ]
}
# The laptop's source now, and the speed the enabled instance sets for it: @auto 400 on mains and
# 200 on battery, as its speed file chooses; a speed's own instance that speed.
on_source() {
  source=mains speed=400 setting=34640533 row_suffix=
  [ "$(cat /sys/module/gma950_model/parameters/mains_online)" = Y ] || source=battery
  if [ "$source" = battery ] && [ "$unit" = gma950clock@auto.service ]; then
    speed=200 setting=34640534 row_suffix=-on-battery
  fi
}
# What @auto found and did last, as systemctl status shows it: the register, the source and the
# speed it asks for.
auto_status_says() {
  systemctl status gma950clock@auto.service >/tmp/status
  grep -qF "gma950clock: the core clock is set to $speed MHz" /tmp/status &&
    grep -qF "gma950clock: on $source power, GMA950CLOCK_SPEED_ON_$( [ "$source" = mains ] && echo AC || echo BAT) asks for $speed MHz" /tmp/status
}
# The unit's result: the program exited with status 0, by itself (a signal would be Result=signal);
# or @auto's condition found the speed set (a power supply's event at boot, after the boot's run).
succeeded() {
  case $(systemctl show -P Result "${1:-$unit}") in
    success) [ "$(systemctl show -P ExecMainStatus "${1:-$unit}")" = 0 ] ;;
    exec-condition) [ "${1:-$unit}" = gma950clock@auto.service ] ;;
    *) false ;;
  esac
}
# What the boot run printed, as the journal keeps it: every line but the empty ones, without the
# blank at the end of the closing note.
report_of_the_boot_run() {
  journalctl -q -o cat -u "$unit" -t gma950clock | grep -v '^gma950clock: ' | head -n 12 >/tmp/report
  lab_report 34d0e72d "$(printf '%x' $((0x$setting ^ 0x00B4E21D)))" "$speed" | grep -v '^$' | sed 's/ $//' |
    diff - /tmp/report
}
# The run lines and the kernel's sleep lines, in journal order.
events() {
  journalctl -q -o short-monotonic | awk -v done="$done" '
    index($0, done) { printf "run " }
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
# @250 as installed, but a call outside the list kills the program instead of failing with EPERM:
# the whole write path, through the kernel's file of the model.
strict=gma950clock@250.service
strict_run() {
  mkdir -p "/etc/systemd/system/$strict.d"
  printf '[Service]\nSystemCallErrorNumber=\n' >"/etc/systemd/system/$strict.d/lab-fatal-calls.conf"
  systemctl daemon-reload
  systemctl start "$strict" && succeeded "$strict" && lab_wait 10 strict_reported
}
strict_reported() {
  journalctl -q -o cat -u "$strict" | grep -qxF 'Done - GMA 950 should now be running at a speed of 250 MHz'
}
enable_links() { ls /etc/systemd/system/*.wants/gma950clock@* 2>/dev/null; }
# Removed, not purged: the init script stays, and systemd before 260 makes a unit of it; 260 and
# later have no systemd-sysv-generator and run no init scripts.
script_unit_as_systemd_makes_it() {
  if [ -e /usr/lib/systemd/system-generators/systemd-sysv-generator ]; then
    [ "$(systemctl show -P SourcePath gma950clock.service)" = /etc/init.d/gma950clock ]
  else
    [ "$(systemctl show -P LoadState gma950clock.service)" = not-found ]
  fi
}
nothing_of_the_script() {
  [ -z "$(journalctl -q -o cat -u gma950clock.service -t gma950clock)" ] &&
    ! journalctl -q -o cat | grep -q 'gma950clock: under systemd'
}
nothing_left() {
  ! dpkg-query -W gma950clock 2>/dev/null && [ -z "$(enable_links)" ] &&
    [ -z "$(find / -xdev -name '*gma950clock*' ! -path '/lab/*' ! -path /etc/default/gma950clock)" ]
}
suspend_again() {
  dmesg -C
  lab_suspend systemctl suspend
}

lab_check "the guest is the machine it should be" lab_is_expected_machine
lab_check "the init system is the one meant" lab_is_expected_init
lab_check "the tree kept its owners" lab_tree_keeps_owners
systemctl is-system-running --wait >/dev/null
case $(cat /lab/boot) in
  1)
    on_source
    echo "lab: $unit enabled; booted on $source power"
    lab_check "the unit ran at boot and set the clock" lab_wait 60 ran 1
    lab_check "the boot run succeeded" succeeded
    lab_check "the journal holds the boot run's whole report" report_of_the_boot_run
    lab_check "0xF0 after booting on $source power" lab_clock_after "boot$row_suffix"
    if [ "$unit" = gma950clock@auto.service ]; then
      lab_check "@auto's status says what it found" auto_status_says
      [ "$source" = mains ] || lab_check "plugged in, mains's speed" lab_power_after plug plug
      lab_check "unplugged, the battery's speed" lab_power_after unplug unplug
      lab_check "plugged in again, mains's speed" lab_power_after plug plug
      lab_check "the battery's charge moves: nothing runs" lab_power_after charge charge
      on_source
      lab_check "@auto's status says what it did" auto_status_says
      lab_check "@auto succeeded" succeeded gma950clock@auto.service
      lab_power unplug-asleep
    else
      lab_check "a fixed speed, unplugged: nothing is written" lab_power_after unplug fixed-speed
      lab_check "and plugged in again" lab_power_after plug fixed-speed
    fi
    runs_before=$(runs)
    lab_check "suspended to S3 and woke up" lab_suspend systemctl suspend
    lab_check "the kernel woke from S3" lab_resumed_from_s3
    lab_check "the unit ran again after resume" lab_wait 60 ran "$((runs_before + 1))"
    lab_check "the resume run succeeded" succeeded
    if [ "$unit" = gma950clock@auto.service ]; then
      lab_check "unplugged during the sleep, the battery's speed after the wake" lab_clock_after wake-on-battery
      lab_check "plugged in again, mains's speed" lab_power_after plug plug
    else
      lab_check "one run before the sleep and one after it" events_are "run sleep wake run "
      lab_check "0xF0 after the resume" lab_clock_after suspend
    fi
    lab_check "the gma950clock.service made of the init script is masked" \
      [ "$(systemctl show -P LoadState gma950clock.service)" = masked ]
    lab_check "only the enabled instance ran, not the defaults file's speed" only_the_enabled_instance_ran
    lab_check "the init script's status points to systemctl" \
      sh -c '/etc/init.d/gma950clock status; [ $? -eq 4 ]'
    echo "lab: resume to clock set $(lab_journal_ms "" 'gma950-model: 0xF0 back to' 'gma950-model: 0xF0 <- 3464053') ms"

    if [ -e /lab/hibernate ]; then
      lab_check "swap on the lab's disk" sh -c 'mkswap /dev/vda >/dev/null && swapon /dev/vda'
      lab_check "hibernated and thawed" lab_hibernate systemctl hibernate
      lab_check "the unit ran again after the thaw" lab_wait 60 ran 3
      lab_check "in the same boot" one_boot
      lab_check "the thaw run succeeded" succeeded
      lab_check "0xF0 after the thaw" lab_clock_after hibernate
      dmesg -C
      lab_check "hybrid sleep: the image written, then S3 and woken" lab_hybrid_sleep
      lab_check "the kernel woke from S3" lab_resumed_from_s3
      lab_check "the unit ran again after the hybrid sleep" lab_wait 60 ran 4
      lab_check "one run at boot, and one after each sleep" \
        events_are "run sleep wake run hibernate thaw run hibernate thaw run "
      lab_check "the last run succeeded" succeeded
      lab_check "0xF0 after the hybrid sleep" lab_clock_after hybrid-sleep
      echo "lab: the journal around the sleeps:"
      journalctl -q -o short-monotonic --no-hostname |
        grep -E 'PM: (hibernation|suspend|Image|Wrote|Read)|hibernat|Waking up|gma950clock\[|gma950-model|lab-witness|Reached target|systemd-sleep'
    fi

    lab_check "with every other call fatal, @250 sets its speed through the kernel's file" strict_run
    lab_check "0xF0 after @250" lab_clock_after strict-250
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
    lab_check "suspended again and woke up" suspend_again
    lab_check "0xF0 after the resume without the package" lab_clock_after removed-suspend

    echo "lab: the journal of both units, the model and the kernel's sleep:"
    journalctl -q -o short-monotonic --no-hostname -u "$unit" -u "$strict" -u gma950clock@300.service
    journalctl -q -o short-monotonic --no-hostname _PID=1 | grep -E "gma950clock|Reload"
    journalctl -q -o short-monotonic -k --no-hostname | grep -E 'PM: suspend (entry|exit)|Waking up|gma950-model'
    ;;
  2)
    lab_check "a unit of the init script only where systemd makes one" script_unit_as_systemd_makes_it
    echo "lab: gma950clock.service: $(systemctl show -P LoadState gma950clock.service), from '$(systemctl show -P SourcePath gma950clock.service)'"
    lab_check "it said nothing at boot" nothing_of_the_script
    lab_check "0xF0 at boot without the package" lab_clock_after removed-boot
    lab_check "the admin's enable links stay after removal" [ -n "$(enable_links)" ]
    lab_check "dpkg purges the package" dpkg -P gma950clock
    lab_check "nothing of the package is left, the enable links neither" nothing_left
    lab_check "suspended after the purge and woke up" lab_suspend systemctl suspend
    lab_check "0xF0 after the resume once purged" lab_clock_after purged-suspend
    ;;
esac
lab_finish
