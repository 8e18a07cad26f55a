#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The guests' timing helper on made-up journals: milliseconds from the first entry holding one text
# to the first later entry holding another, as the resume latency and the unit benchmark use it.
# Usage: journal_ms_test.sh GUEST_LIB   (lab/guest-lib.sh)
set -u
# shellcheck source=lab/guest-lib.sh
. "$1"
failures=0
given=$(mktemp) || exit 1
trap 'rm -f "$given"' EXIT
# Stands in for `journalctl -o short-monotonic`: prints $journal, and notes what it was given.
journalctl() { printf '%b' "$journal"; echo "$*" >"$given"; }

# check NAME CURSOR JOURNAL FROM TO EXPECTED
check() {
  journal=$3
  measured=$(lab_journal_ms "$2" "$4" "$5")
  if [ "$measured" != "$6" ]; then
    echo "FAIL $1: measured '$measured', expected '$6'"
    failures=$((failures + 1))
  fi
}

check "resume to the unit's line" "" \
  '[   10.100000] vm kernel: PM: suspend exit\n[   10.120000] vm systemd[1]: Starting x\n[   10.385500] vm gma950clock[9]: line\n' \
  'kernel: PM: suspend exit' 'gma950clock[' 286
check "a line before FROM does not count" "" \
  '[    1.000000] vm gma950clock[5]: boot run\n[    5.000000] vm systemd[1]: Starting u\n[    5.131000] vm gma950clock[7]: \n' \
  'systemd[1]: Starting u' 'gma950clock[' 131
check "the first FROM and the first TO after it" "" \
  '[    2.000000] a FROM\n[    2.010000] b FROM\n[    2.050000] c TO\n[    3.000000] d TO\n' FROM TO 50
check "no TO after FROM: nothing" "" '[    2.000000] a TO\n[    2.500000] b FROM\n' FROM TO ""
check "a cursor is passed on" "s=1;i=2" '[    1.000000] FROM\n[    1.001000] TO\n' FROM TO 1
[ "$(cat "$given")" = "-q -o short-monotonic --after-cursor=s=1;i=2" ] || {
  echo "FAIL a cursor is passed on: journalctl was given '$(cat "$given")'"
  failures=$((failures + 1))
}

[ "$failures" -eq 0 ] && echo "journal timing: all cases passed"
exit "$failures"
