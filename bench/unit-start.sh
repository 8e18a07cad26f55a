#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# How soon the clock is back: the start cost of the installed gma950clock@400.service against the
# same program in a unit without hardening, in the lab's Debian 12 systemd guest. QEMU's software
# emulation runs about as fast as an Atom N270, and with -icount every guest instruction counts
# 2 ns of guest time, so the figures repeat whatever else the host is doing. A second, plain boot
# times a real S3 resume; that figure moves with the host's load.
# Usage: bench/unit-start.sh [BUILD_DIR]   (default: build/release, a configured release build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
[ -r "$build/CPackConfig.cmake" ] || { echo "no release build in $build: run cmake --workflow --preset release" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# bench MODE [OPTION...]: one boot of the guest; prints its bench lines, or its log if it failed.
bench() {
  local mode=$1 status=0
  shift
  lab/debian-guest --suite bookworm --init systemd --package "$build" --cache "$build/lab" \
    --driver bench/unit_driver.sh --setup "echo $mode >/lab/bench" --log "$work/$mode.log" "$@" \
    >/dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    [ ! -r "$work/$mode.log" ] || cat "$work/$mode.log"
    echo "bench: the $mode boot failed" >&2
    exit "$status"
  fi
  grep '^bench: ' "$work/$mode.log"
}

bench starts --qemu -icount --qemu shift=1,sleep=off
bench resume --setup "systemctl enable gma950clock@400.service"
