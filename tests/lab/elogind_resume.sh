#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the sysvinit + elogind guest, where the package is installed: with a speed in
# /etc/default/gma950clock, `loginctl suspend` to S3 and back runs the package's sleep hook after
# the wake-up (not before the sleep), and the program's report, which shows it reached the ports,
# is in the system log. Once the package is removed (not purged), another suspend and resume runs
# and logs nothing of it.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

hook=/etc/elogind/system-sleep/gma950clock
# What the program says of QEMU's VGA at 00:02.0 once it has read it through the ports.
refusal='gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was changed'

echo GMA950CLOCK_SPEED=400 >/etc/default/gma950clock
# A witness hook beside the package's, so the log shows when elogind called hooks at all.
mkdir -p /etc/elogind/system-sleep
cat >/etc/elogind/system-sleep/lab-witness <<'WITNESS'
#!/bin/sh
logger -t lab-witness "hook called: $1 $2"
WITNESS
chmod 755 /etc/elogind/system-sleep/lab-witness

# The system log: busybox's syslogd keeps it in memory (logread) unless /etc/syslog.conf names
# files, as Debian 13's does; the harness makes that one file for every facility.
system_log() {
  if [ -e /etc/syslog.conf ]; then cat /var/log/syslog; else logread; fi
}

# The witness's calls, the kernel's sleep and the program's report, in the order they were logged
# since the last "lab-mark" line (or since the start).
events() {
  system_log | awk -v refusal="$refusal" '
    /lab-mark: / { seen = "" }
    /lab-witness: hook called: pre/ { seen = seen "pre " }
    /lab-witness: hook called: post/ { seen = seen "post " }
    /kernel: .*PM: suspend entry/ { seen = seen "sleep " }
    /kernel: .*PM: suspend exit/ { seen = seen "wake " }
    index($0, "gma950clock: " refusal) { seen = seen "run " }
    END { printf "%s", seen }'
}
since_the_mark() { system_log | sed -n '/lab-mark: /,$p'; }
ran_after_the_wake_only() {
  case $(events) in
    "pre sleep wake post run " | "pre sleep wake run post ") ;;
    *) return 1 ;;
  esac
}
hooks_called_and_nothing_of_the_package() {
  [ "$(events)" = "pre sleep wake post " ] && ! since_the_mark | grep -q gma950clock
}
reported() { system_log | grep -qF "gma950clock: $refusal"; }
no_port_refusal() { ! system_log | grep -q 'cannot access I/O ports'; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }
second_post_hook_ran() { case $(events) in *"wake post"*) ;; *) false ;; esac; }
# Removed, not purged: dpkg keeps the configuration files, the hook among them.
only_config_files_left() {
  [ "$(dpkg-query -W -f '${db:Status-Abbrev}' gma950clock)" = "rc " ] && [ -e "$hook" ]
}

lab_check "the guest is the machine it should be" lab_is_expected_machine
lab_check "elogind answers" lab_wait 30 elogind_ready
lab_check "the hook is in a folder elogind reads" [ -x "$hook" ]
lab_check "suspended with loginctl and woke up" lab_suspend loginctl suspend
lab_check "the kernel woke from S3" lab_resumed_from_s3
lab_check "the program's report is in the system log" lab_wait 10 reported
lab_check "the hook ran after the wake-up, not before the sleep" ran_after_the_wake_only
lab_check "the program reached the ports" no_port_refusal

echo "lab: the system log around the sleep:"
system_log | grep -E 'gma950clock|lab-witness|PM: suspend|Waking up'

lab_check "dpkg removes the package" dpkg -r gma950clock
lab_check "its configuration files stay, the hook among them" only_config_files_left
logger -t lab-mark "removed; suspending again"
dmesg -C
lab_check "suspended again and woke up" lab_suspend loginctl suspend
lab_check "the post hooks ran after the second wake-up" lab_wait 10 second_post_hook_ran
lab_check "nothing of the package ran or was logged" hooks_called_and_nothing_of_the_package

echo "lab: the system log after the removal:"
since_the_mark
lab_finish
