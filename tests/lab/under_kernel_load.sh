#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# In the lab's two-processor guest, processor 1 reads every device's configuration space through
# the kernel in a loop, as lspci, udev or a resuming driver do. On processor 0 meanwhile: the
# program runs RUNS times and must name QEMU's VGA every time; the kernel's file must read the
# right register in every select+read pair. The port road's redirects are counted too, of the
# ports themselves and of the program made to take them: benchmark figures that decide nothing.
# Usage: under_kernel_load.sh PROGRAM LAB_TEST RUNS PORT_PAIRS PORT_RUNS

# --runs COUNT PROGRAM FILE: runs PROGRAM 400 COUNT times, each one's standard error appended to FILE.
if [ "$1" = --runs ]; then
  run=0
  while [ "$run" -lt "$2" ]; do
    "$3" 400 </dev/null 2>>"$4" >/dev/null
    run=$((run + 1))
  done
  exit 0
fi

program=$1
lab_test=$2
runs=$3
port_pairs=$4
port_runs=$5
named='gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was changed'
failed=0

taskset 2 sh -c 'while :; do cat /sys/bus/pci/devices/*/config; done' >/dev/null 2>&1 &
load=$!
# This shell and all it starts stay on processor 0.
taskset -p 1 $$ >/dev/null

"$lab_test" --gtest_filter='UnderKernelLoad.*' || failed=$((failed + 1))

start=$(date +%s)
sh "$0" --runs "$runs" "$program" /tmp/named
echo "lab: $runs runs of $program 400 in $(($(date +%s) - start)) s; what they named, counted:"
sort /tmp/named | uniq -c
if [ "$(grep -cxF "$named" /tmp/named)" -ne "$runs" ] || [ "$(wc -l </tmp/named)" -ne "$runs" ]; then
  echo "lab: FAIL: not every run named 1234:1111"
  failed=$((failed + 1))
fi

"$lab_test" --port-redirects "$port_pairs" || failed=$((failed + 1))
# Without sysfs in its mount namespace the program finds no configuration file and takes the ports.
unshare --mount --propagation private -- sh -c 'umount -l /sys && exec sh "$@"' sh \
  "$0" --runs "$port_runs" "$program" /tmp/named-on-ports
echo "bench: the program on the port road under kernel load named another device than 1234:1111" \
  "in $(grep -cvxF "$named" /tmp/named-on-ports) of $port_runs runs; counted:"
sort /tmp/named-on-ports | uniq -c
kill "$load"
exit "$failed"
