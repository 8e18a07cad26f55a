#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# In the lab's two-processor guest with its GMA 950, processor 1 reads every device's configuration
# space through the kernel in a loop, as lspci, udev or a resuming driver do. On processor 0
# meanwhile: the program runs RUNS times alternating 400, 250 and 200 MHz, and every run must
# report the speed it set and leave it in 0xF0; the kernel's file must read the right register in
# every select+read pair. The port road's redirects are counted too, of the ports themselves and
# of the program made to take them (where QEMU has nothing at 00:02.0): benchmark figures that
# decide nothing.
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
nothing='gma950clock: the device at PCI 00:02.0 is ffff:ffff, not an Intel(R) GMA 950; nothing was changed'
failed=0

taskset 2 sh -c 'while :; do cat /sys/bus/pci/devices/*/config; done' >/dev/null 2>&1 &
load=$!
# This shell and all it starts stay on processor 0.
taskset -p 1 $$ >/dev/null

GMA950CLOCK_LAB_RUNS=$runs "$lab_test" --gtest_filter='UnderKernelLoad*' || failed=$((failed + 1))

"$lab_test" --port-redirects "$port_pairs" || failed=$((failed + 1))
# Without sysfs in its mount namespace the program finds no configuration file and takes the ports.
unshare --mount --propagation private -- sh -c 'umount -l /sys && exec sh "$@"' sh \
  "$0" --runs "$port_runs" "$program" /tmp/named-on-ports
echo "bench: the program on the port road under kernel load named a device where QEMU has none" \
  "in $(grep -cvxF "$nothing" /tmp/named-on-ports) of $port_runs runs; counted:"
sort /tmp/named-on-ports | uniq -c
kill "$load"
exit "$failed"
