#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Driver inside the sysvinit + elogind guest, where the package is installed: with a speed in
# /etc/default/gma950clock, `loginctl suspend` to S3 and back runs the package's sleep hook after
# the wake-up (not before the sleep), and the program's report, which shows it reached the ports,
# is in the system log.
exec >/dev/ttyS0 2>&1
# shellcheck source=lab/guest-lib.sh # where the harness puts it in the guest
. /lab/guest-lib.sh

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

# The witness's calls, the kernel's sleep and the program's report, in the order they were logged.
events() {
  logread | awk -v refusal="$refusal" '
    /lab-witness: hook called: pre/ { printf "pre " }
    /lab-witness: hook called: post/ { printf "post " }
    /kernel: .*PM: suspend entry/ { printf "sleep " }
    /kernel: .*PM: suspend exit/ { printf "wake " }
    index($0, "gma950clock: " refusal) { printf "run " }'
}
ran_after_the_wake_only() {
  case $(events) in
    "pre sleep wake post run " | "pre sleep wake run post ") ;;
    *) return 1 ;;
  esac
}
reported() { logread | grep -qF "gma950clock: $refusal"; }
no_port_refusal() { ! logread | grep -q 'cannot access I/O ports'; }
elogind_ready() { loginctl list-sessions >/dev/null 2>&1; }

lab_check "elogind answers" lab_wait 30 elogind_ready
lab_check "the hook is in a folder elogind reads" [ -x /lib/elogind/system-sleep/gma950clock ]
lab_check "suspended with loginctl and woke up" lab_suspend loginctl suspend
lab_check "the kernel woke from S3" lab_resumed_from_s3
lab_check "the program's report is in the system log" lab_wait 10 reported
lab_check "the hook ran after the wake-up, not before the sleep" ran_after_the_wake_only
lab_check "the program reached the ports" no_port_refusal

echo "lab: the system log around the sleep:"
logread | grep -E 'gma950clock|lab-witness|PM: suspend|Waking up'
lab_finish
