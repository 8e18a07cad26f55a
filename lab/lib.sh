# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the lab's guests: Debian's cloud kernel, packing a tree as an initramfs, booting it
# under QEMU with a timeout, and reading the guest's verdict off its serial console.
# shellcheck shell=bash

lab_fail() {
  echo "lab: $*" >&2
  exit 1
}

# Outside CI a missing tool or an unreachable package registry skips the test (CTest's status 77)
# with one line; in CI (GMA950CLOCK_LAB=required) it fails.
lab_unavailable() {
  if [ "${GMA950CLOCK_LAB:-}" = required ]; then lab_fail "$*"; fi
  echo "lab: skipped: $*" >&2
  exit 77
}

lab_require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || lab_unavailable "$tool is missing (apt-get install qemu-system-x86 cpio busybox-static)"
  done
}

# Prints the path of Debian's cloud kernel, downloaded once into CACHE and reused while Debian
# ships the same version.
lab_kernel() {
  local cache=$1 package dir
  package=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
  [ -n "$package" ] || lab_unavailable "apt does not know linux-image-cloud-amd64 (run apt-get update)"
  dir=$cache/kernel/$package
  if [ ! -d "$dir/boot" ]; then
    rm -rf "$dir.part"
    mkdir -p "$dir.part"
    (cd "$dir.part" && apt-get download -q -o APT::Sandbox::User=root "$package" >/dev/null) ||
      lab_unavailable "cannot download $package"
    dpkg-deb -x "$dir.part"/*.deb "$dir.part/tree"
    mkdir -p "$dir"
    mv "$dir.part/tree/boot" "$dir/boot"
    rm -rf "$dir.part"
  fi
  echo "$dir"/boot/vmlinuz-*
}

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

# Packs the tree DIR as a gzip'ed newc archive, owned by root, in a stable order.
lab_pack() {
  (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$2"
}

# lab_boot LOG TIMEOUT KERNEL INITRD APPEND [QEMU OPTION...]: boots the guest without KVM (QEMU
# emulates every device, so nothing the guest does reaches the host's hardware), with QEMU's VGA
# at PCI 00:02.0 and the lab's mark on the kernel command line, its serial console into LOG with
# carriage returns and terminal escapes removed. Fails when QEMU does not end by itself within
# TIMEOUT seconds.
lab_boot() {
  local log=$1 seconds=$2 kernel=$3 initrd=$4 append=$5 status=0
  shift 5
  timeout "$seconds" qemu-system-x86_64 -accel tcg -M pc -nodefaults -display none -no-reboot \
    -monitor none -serial "file:$log.raw" -device VGA,addr=02.0 -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 quiet gma950clock.lab=1 $append" "$@" </dev/null || status=$?
  sed 's/\r$//; s/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g' "$log.raw" >"$log"
  rm -f "$log.raw"
  [ "$status" -ne 124 ] || lab_fail "the guest did not power off within $seconds s (log: $log)"
  [ "$status" -eq 0 ] || lab_fail "qemu-system-x86_64 exited with status $status (log: $log)"
}

# lab_run LOG TIMEOUT KERNEL INITRD APPEND [QEMU OPTION...]: boots as lab_boot does, prints what
# the guest printed, and exits with the guest's verdict.
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
