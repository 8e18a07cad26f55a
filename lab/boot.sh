# SPDX-License-Identifier: GPL-2.0-or-later
# What boots the lab's guests: packing a tree and a run's files as an initramfs, booting it under
# QEMU with a timeout, and reading the guest's verdict off its serial console. Sourced by lib.sh.
# shellcheck shell=bash

# Copies an executable into ROOT at its own path, with the shared libraries it loads.
lab_copy_program() {
  local root=$1 program=$2 library
  mkdir -p "$root$(dirname "$program")"
  cp -L "$program" "$root$program"
  for library in $(ldd "$program" 2>/dev/null | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}

# lab_pack [--as-root] DIR ARCHIVE: packs DIR as a newc archive, in a stable order, uncompressed:
# the guest's kernel copies it out faster than it could inflate it, under emulation. A tree
# keeps its files' owners and groups (D-Bus's set-uid helper is root:messagebus, and messagebus must
# be able to run it); --as-root gives everything to root, for a run's own files, which belong to
# whoever runs the lab.
lab_pack() {
  local owner=()
  if [ "$1" = --as-root ]; then
    owner=(-R 0:0)
    shift
  fi
  (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc "${owner[@]}" --quiet) >"$2"
}

# lab_tree_archive BASE: packs the tree BASE/tree once into BASE/tree.cpio.
lab_tree_archive() {
  lab_cached "$1/tree.cpio" lab_pack "$1/tree"
}

# lab_initrd BASE RUN MACHINE INITRD: the initramfs of a guest for MACHINE, the tree BASE/tree
# (its archive) with this run's files RUN unpacked over it: later files win.
# RUN gets the guest's helpers and lab/machine, what the guest checks it is: a line each, `uname -m`,
# the CPU's model name and the number of processors.
lab_initrd() {
  local base=$1 run=$2 machine=$3 initrd=$4 field
  lab_tree_archive "$base"
  mkdir -p "$run/lab"
  cp "$(dirname "${BASH_SOURCE[0]}")/guest-lib.sh" "$run/lab/guest-lib.sh"
  for field in uname model processors; do lab_machine "$machine" "$field"; done >"$run/lab/machine"
  lab_pack --as-root "$run" "$initrd.run"
  cat "$base/tree.cpio" "$initrd.run" >"$initrd"
  rm -f "$initrd.run"
}

# lab_boot LOG TIMEOUT MACHINE KERNEL INITRD APPEND [QEMU OPTION...]: boots MACHINE without KVM
# (QEMU emulates every device, so nothing the guest does reaches the host's hardware), with QEMU's
# VGA at PCI 00:02.0 or, where the machine has the GMA 950 model, nothing of QEMU's there, and the
# lab's mark on the kernel command line, its serial console into LOG with carriage returns and
# terminal escapes removed. Fails when QEMU does not end by itself within
# TIMEOUT seconds. More than one processor runs a host thread each (multi-threaded TCG), so that
# they run at the same time.
lab_boot() {
  local log=$1 seconds=$2 machine=$3 kernel=$4 initrd=$5 append=$6 status=0 qemu processors accel=tcg
  local graphics=()
  shift 6
  [ "$(lab_machine "$machine" graphics)" != vga ] || graphics=(-device "VGA,addr=02.0")
  read -r -a qemu <<<"$(lab_machine "$machine" qemu)"
  processors=$(lab_machine "$machine" processors)
  [ "$processors" -eq 1 ] || accel=tcg,thread=multi
  timeout "$seconds" "${qemu[@]}" -accel "$accel" -smp "$processors" -m "$(lab_machine "$machine" memory)" \
    -nodefaults -display none -no-reboot -monitor none -serial "file:$log.raw" "${graphics[@]}" \
    -kernel "$kernel" -initrd "$initrd" -append "console=ttyS0 panic=-1 quiet gma950clock.lab=1 $append" \
    "$@" </dev/null || status=$?
  sed 's/\r$//; s/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g' "$log.raw" >"$log"
  rm -f "$log.raw"
  [ "$status" -ne 124 ] || lab_fail "the guest did not power off within $seconds s (log: $log)"
  [ "$status" -eq 0 ] || lab_fail "${qemu[0]} exited with status $status (log: $log)"
}

# lab_run LOG TIMEOUT MACHINE KERNEL INITRD APPEND [QEMU OPTION...]: boots as lab_boot does, prints
# what the guest printed, and exits with the guest's verdict.
lab_run() {
  local log=$1 status=0
  (lab_boot "$@" && lab_verdict "$log") || status=$?
  cat "$log"
  exit "$status"
}

# The verdict the guest printed last: "lab: done, N failed"; anything else is a failure.
lab_verdict() {
  local log=$1 verdict
  verdict=$(grep -a '^lab: done, [0-9]* failed$' "$log" | tail -n 1)
  [ -n "$verdict" ] || lab_fail "the guest gave no verdict (log: $log)"
  [ "$verdict" = "lab: done, 0 failed" ] || lab_fail "${verdict#lab: } (log: $log)"
}
