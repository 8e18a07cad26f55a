#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# How soon the clock is set again, under each init: Debian 12 guests on the lab's GMA 950, the
# package installed and 400 MHz chosen, boot and wake from S3 three times while QEMU counts guest
# instructions (-icount), so the figures repeat whatever else the host does. Prints one line per
# init: kernel start to the clock set at boot, and the median from the model's reset at resume to
# the clock set again.
# Usage: bench/resume-to-set.sh [BUILD_DIR] [MACHINE]   (default: build/release, gma950-pc)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
machine=${2:-gma950-pc}
[ -r "$build/CPackConfig.cmake" ] || { echo "no release build in $build: run cmake --workflow --preset release" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for init in systemd sysvinit openrc runit; do
  choose="echo GMA950CLOCK_SPEED=400 >/etc/default/gma950clock"
  [ "$init" != systemd ] || choose="systemctl enable gma950clock@400.service"
  status=0
  lab/debian-guest --suite bookworm --machine "$machine" --init "$init" --package "$build" \
    --cache "$build/lab" --driver bench/resume_driver.sh --setup "$choose" --log "$work/$init.log" \
    --qemu -icount --qemu shift=1,sleep=off >/dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    [ ! -r "$work/$init.log" ] || cat "$work/$init.log"
    echo "bench: the $init guest failed" >&2
    exit "$status"
  fi
  grep '^bench: ' "$work/$init.log"
done
