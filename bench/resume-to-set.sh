#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# How soon the clock is set, under each init: Debian 12 guests on the lab's GMA 950, the package
# installed, the speed file choosing 400 on mains and 200 on battery (gma950clock@auto.service
# enabled under systemd), boot once, wake from S3 three times, and have their mains adapter
# unplugged and plugged in three times, while QEMU counts guest instructions (-icount), so the
# figures repeat whatever else the host does. Prints one line per init: the init's start and the
# kernel's start to the clock set at boot, and the medians from the model's reset at resume, and
# from each unplug and plug, to the clock set again.
# Usage: bench/resume-to-set.sh [BUILD_DIR [MACHINE [INIT...]]]
#   (default: build/release, gma950-pc, systemd sysvinit openrc runit)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
machine=${2:-gma950-pc}
shift $(($# < 2 ? $# : 2))
inits=("$@")
[ ${#inits[@]} -gt 0 ] || inits=(systemd sysvinit openrc runit)
[ -r "$build/CPackConfig.cmake" ] || { echo "no release build in $build: run cmake --workflow --preset release" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for init in "${inits[@]}"; do
  choose=(--setup "printf 'GMA950CLOCK_SPEED_ON_AC=400\\nGMA950CLOCK_SPEED_ON_BAT=200\\n' >/etc/default/gma950clock")
  [ "$init" != systemd ] || choose+=(--setup "systemctl enable gma950clock@auto.service")
  status=0
  lab/debian-guest --suite bookworm --machine "$machine" --init "$init" --package "$build" \
    --cache "$build/lab" --driver bench/resume_driver.sh "${choose[@]}" --log "$work/$init.log" \
    --qemu -icount --qemu shift=1,sleep=off >/dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    [ ! -r "$work/$init.log" ] || cat "$work/$init.log"
    echo "bench: the $init guest failed" >&2
    exit "$status"
  fi
  grep '^bench: ' "$work/$init.log"
done
