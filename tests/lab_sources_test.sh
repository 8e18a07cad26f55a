#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Derives another release's apt sources from made-up host folders and checks the result: the
# host's release renamed in every suite, options and keys kept, and nothing else let through; and
# leaves out suites the mirror serves broken; tells a release in development whose archive cannot
# make a tree today from the lab's own failures. Also: commands quoted for mmdebstrap's hooks,
# which sh runs, come back as they were.
# Usage: lab_sources_test.sh LAB_LIB   (lab/lib.sh)
set -u
# shellcheck source=lab/lib.sh
. "$1"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

# check SUITE NAME EXPECTED_DEB822 EXPECTED_ONE_LINE: derives SUITE from the host in $work/host;
# an expectation of "-" means no such file.
check() {
  local suite=$1 name=$2 file expected actual
  rm -rf "$work/out"
  (unset GMA950CLOCK_LAB; lab_sources "$suite" "$work/out" "$work/host") >"$work/stdout" 2>"$work/stderr"
  for file in debian.sources debian.list; do
    if [ "$file" = debian.sources ]; then expected=$3; else expected=$4; fi
    actual=$(cat "$work/out/$file" 2>/dev/null || echo -)
    if [ "$actual" != "$expected" ]; then
      printf 'FAIL %s: %s is\n%s\nexpected\n%s\n(stderr: %s)\n' "$name" "$file" "$actual" "$expected" \
        "$(cat "$work/stderr")"
      failures=$((failures + 1))
    fi
  done
}

# host CODENAME [PATH CONTENT]...: a fresh host root with these files under etc/apt.
host() {
  rm -rf "$work/host"
  mkdir -p "$work/host/etc/apt/sources.list.d"
  printf 'PRETTY_NAME="Debian"\nVERSION_CODENAME=%s\n' "$1" >"$work/host/etc/os-release"
  shift
  while [ $# -gt 0 ]; do
    printf '%b' "$2" >"$work/host/etc/apt/$1"
    shift 2
  done
}

host bookworm sources.list.d/debian.sources \
  '# the host mirror\nTypes: deb\nURIs: http://mirror.test/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /k.gpg\n\nTypes: deb\nURIs: http://mirror.test/debian-security\nSuites: bookworm-security\nComponents: main\n'
check trixie "deb822, every suite renamed, keys kept" \
  "$(printf 'Types: deb\nURIs: http://mirror.test/debian\nSuites: trixie trixie-updates\nComponents: main\nSigned-By: /k.gpg\n\nTypes: deb\nURIs: http://mirror.test/debian-security\nSuites: trixie-security\nComponents: main')" -

host bookworm sources.list.d/debian.sources \
  'Types: deb\nURIs: http://mirror.test/debian\nSuites: bookworm\nComponents: main\n' \
  sources.list.d/vendor.sources \
  'Types: deb\nURIs: http://vendor.test/apt\nSuites: nodistro\nComponents: main\n\nTypes: deb\nURIs: http://vendor.test/sdk\nSuites: cloud-sdk-bookworm\nComponents: main\n'
check trixie "deb822, other vendors' entries left out" \
  "$(printf 'Types: deb\nURIs: http://mirror.test/debian\nSuites: trixie\nComponents: main')" -

host bookworm sources.list \
  'deb http://mirror.test/debian bookworm main\ndeb [arch=amd64 signed-by=/k.gpg] http://mirror.test/debian-security bookworm-security main\ndeb-src http://mirror.test/debian bookworm main\n# deb http://mirror.test/debian bookworm-backports main\ndeb http://vendor.test/sdk cloud-sdk-bookworm main\n'
check trixie "one-line, options kept, deb-src, comments and vendors left out" - \
  "$(printf 'deb http://mirror.test/debian trixie main\ndeb [arch=amd64 signed-by=/k.gpg] http://mirror.test/debian-security trixie-security main')"

host trixie sources.list.d/debian.sources \
  'Types: deb\nURIs: http://mirror.test/debian\nSuites: trixie trixie-updates\nComponents: main\n'
check bookworm "from a Debian 13 host, Debian 12" \
  "$(printf 'Types: deb\nURIs: http://mirror.test/debian\nSuites: bookworm bookworm-updates\nComponents: main')" -

host bookworm sources.list.d/vendor.sources 'Types: deb\nURIs: http://vendor.test/apt\nSuites: nodistro\n'
check trixie "no Debian entry: nothing derived" - -
grep -q "lab: skipped: this host has no apt sources for its release (bookworm)" "$work/stderr" || {
  echo "FAIL no Debian entry: the skip does not say why: $(cat "$work/stderr")"
  failures=$((failures + 1))
}

# check_drop NAME DEB822 ONE_LINE SUITES EXPECTED_DEB822 EXPECTED_ONE_LINE: derived sources ("-": no
# such file) with SUITES left out, as when a mirror serves a broken index; "-" for both expected
# files means that nothing is left and the call fails.
check_drop() {
  local name=$1 file expected actual status=0
  rm -rf "$work/out"
  mkdir -p "$work/out"
  [ "$2" = - ] || printf '%b' "$2" >"$work/out/debian.sources"
  [ "$3" = - ] || printf '%b' "$3" >"$work/out/debian.list"
  # shellcheck disable=SC2086 # the suites are words
  lab_drop_suites "$work/out" $4 || status=$?
  for file in debian.sources debian.list; do
    if [ "$file" = debian.sources ]; then expected=$5; else expected=$6; fi
    actual=$(cat "$work/out/$file" 2>/dev/null || echo -)
    if [ "$actual" != "$expected" ]; then
      printf 'FAIL %s: %s is\n%s\nexpected\n%s\n' "$name" "$file" "$actual" "$expected"
      failures=$((failures + 1))
    fi
  done
  if [ "$5$6" = -- ] && [ "$status" -eq 0 ]; then
    echo "FAIL $name: nothing is left, yet it succeeded"
    failures=$((failures + 1))
  fi
}

deb822='Types: deb\nURIs: http://m.test/debian\nSuites: trixie trixie-updates\nComponents: main\n\nTypes: deb\nURIs: http://m.test/debian-security\nSuites: trixie-security\nComponents: main\n'
check_drop "deb822, a stanza's only suite" "$deb822" - trixie-security \
  "$(printf 'Types: deb\nURIs: http://m.test/debian\nSuites: trixie trixie-updates\nComponents: main')" -
check_drop "deb822, one suite of two" "$deb822" - "trixie-updates trixie-backports" \
  "$(printf 'Types: deb\nURIs: http://m.test/debian\nSuites: trixie\nComponents: main\n\nTypes: deb\nURIs: http://m.test/debian-security\nSuites: trixie-security\nComponents: main')" -
check_drop "one-line, options kept" - \
  'deb http://m.test/debian trixie main\ndeb [arch=i386 signed-by=/k.gpg] http://m.test/debian-security trixie-security main\ndeb [trusted=yes] http://m.test/debian trixie-updates main\n' \
  trixie-security - "$(printf 'deb http://m.test/debian trixie main\ndeb [trusted=yes] http://m.test/debian trixie-updates main')"
check_drop "every suite left out" "$deb822" 'deb http://m.test/debian trixie main\n' \
  "trixie trixie-updates trixie-security" - -

# check_archive NAME RELEASE LAB LOG STATUS SAID: lab_archive_failure after apt's LOG, for a suite
# whose Release file says RELEASE, with GMA950CLOCK_LAB=LAB: its exit STATUS, and SAID, a line its
# standard error must hold. Only a release in development whose archive lacks or cannot satisfy a
# package of its own is unavailable even in CI; anything else is the lab's failure there.
check_archive() {
  local status=0
  mkdir -p "$work/cache/apt/forky-amd64/state/lists"
  printf 'Origin: Debian\nSuite: %s\nCodename: forky\n' "$2" \
    >"$work/cache/apt/forky-amd64/state/lists/m.test_debian_dists_forky_InRelease"
  printf '%b' "$4" >"$work/apt.log"
  (GMA950CLOCK_LAB=$3 lab_archive_failure "$work/apt.log" "$work/cache" forky amd64 "make the forky tree") \
    2>"$work/stderr" || status=$?
  if [ "$status" -ne "$5" ] || ! grep -qxF "$6" "$work/stderr"; then
    printf 'FAIL %s: exit %s, said\n%s\n' "$1" "$status" "$(cat "$work/stderr")"
    failures=$((failures + 1))
  fi
}
check_archive "testing lacks a package" testing required 'Reading package lists...\nE: Unable to locate package linux-image-7.2.13+deb14-cloud-amd64\n' \
  77 "E: Unable to locate package linux-image-7.2.13+deb14-cloud-amd64"
check_archive "testing cannot satisfy, apt 3" testing required ' systemd : Depends: libsystemd-shared (= 262-1) but 262-2 is to be installed\nError: Unable to satisfy dependencies. Reached two conflicting decisions:\n' \
  77 " systemd : Depends: libsystemd-shared (= 262-1) but 262-2 is to be installed"
check_archive "testing, the network fails" testing required 'E: Failed to fetch http://m.test/debian/pool/main/s/systemd/systemd_262-1_amd64.deb  Connection refused\n' \
  1 "lab: cannot make the forky tree"
check_archive "a stable release lacks a package" stable required 'E: Unable to locate package systemd-sysv\n' \
  1 "lab: cannot make the forky tree"
check_archive "outside CI, any other failure skips" stable '' 'E: Unable to locate package systemd-sysv\n' \
  77 "lab: skipped: cannot make the forky tree"

for command in "apt-get install cmake g++" "echo 'single' \"double\" \$HOME \`id\` \\" "$(printf 'one\ntwo\n\t')"; do
  back=$(sh -c "printf '%s' $(lab_sh_quote "$command")")
  if [ "$back" != "$command" ]; then
    printf 'FAIL quoting for sh: %s came back as %s\n' "$command" "$back"
    failures=$((failures + 1))
  fi
done

[ "$failures" -eq 0 ] && echo "lab sources: all cases passed"
exit "$failures"
