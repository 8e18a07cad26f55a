# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the lab's guests: failing and skipping, quoting, the tools the lab needs and its cache;
# it brings in what makes a guest (trees.sh: apt sources, kernels, trees and the GMA 950 model) and
# what boots one (boot.sh: initramfs, QEMU and the verdict).
# shellcheck shell=bash

# A failure inside $(...) must end the command substitution too.
shopt -s inherit_errexit

lab_fail() {
  echo "lab: $*" >&2
  exit 1
}

# lab_need_value OPTION COUNT: fails with one line when OPTION, among COUNT arguments left, has
# no value after it.
lab_need_value() {
  [ "$2" -ge 2 ] || lab_fail "missing argument for $1"
}

# Quotes WORD for sh (dash too, which runs mmdebstrap's hooks): in single quotes, each single quote
# of its own closed, escaped and reopened.
lab_sh_quote() {
  local quote="'"
  printf "'%s'" "${1//$quote/$quote\\$quote$quote}"
}

# Outside CI a missing tool or an unreachable package registry skips the test (CTest's status 77)
# with one line; in CI (GMA950CLOCK_LAB=required) it fails.
lab_unavailable() {
  if [ "${GMA950CLOCK_LAB:-}" = required ]; then lab_fail "$*"; fi
  echo "lab: skipped: $*" >&2
  exit 77
}

# What the lab needs on the host, beyond what every Debian has: the same for every guest, so that
# one install line makes all of them run.
lab_require_tools() {
  local tool missing=()
  for tool in qemu-system-x86_64 qemu-system-i386 cpio mmdebstrap; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] ||
    lab_unavailable "${missing[*]} missing (apt-get install qemu-system-x86 cpio mmdebstrap)"
}

# lab_cached PATH BUILDER ARG...: makes PATH by running BUILDER ARG... PATH.part, unless PATH is
# there already. Runs that need the same PATH wait for one another; a failed build leaves nothing.
lab_cached() {
  local path=$1 lock
  shift
  mkdir -p "$(dirname "$path")"
  exec {lock}>"$path.lock"
  flock "$lock"
  if [ ! -e "$path" ]; then
    rm -rf "$path.part"
    "$@" "$path.part"
    mv "$path.part" "$path"
  fi
  exec {lock}>&-
}

# shellcheck source=lab/trees.sh
. "$(dirname "${BASH_SOURCE[0]}")/trees.sh"
# shellcheck source=lab/boot.sh
. "$(dirname "${BASH_SOURCE[0]}")/boot.sh"
