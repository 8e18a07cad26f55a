#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Start-up cost of gma950clock against /bin/true, in instructions counted by callgrind (repeatable,
# unlike seconds). The program runs on a wrong argument, a road that touches no port.
# Usage: bench/startup.sh [PROGRAM]   (default: build/release/gma950clock)
set -eu
program=${1:-build/release/gma950clock}
[ -x "$program" ] || { echo "no executable $program: run cmake --workflow --preset release" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }

# Prints the instruction count of one run of the given command.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p'
}

ours=$(instructions "$program" 4000)
baseline=$(instructions /bin/true)
if [ -z "$ours" ] || [ -z "$baseline" ]; then
  echo "callgrind gave no count" >&2
  exit 1
fi
printf '%s 4000: %s instructions\n/bin/true: %s instructions\n' "$program" "$ours" "$baseline"
awk -v ours="$ours" -v baseline="$baseline" 'BEGIN { printf "ratio: %.2f\n", ours / baseline }'
