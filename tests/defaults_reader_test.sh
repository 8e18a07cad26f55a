#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the reader of the speed file through every one of its callers: the sleep hooks after a
# wake (elogind's, zzz's), the LSB init script at boot, and the services an administrator enables
# (OpenRC's start, runit's run), against stand-ins for the program, logger and runit's tools and
# temporary speed files, and checks with which speed (if any) the program was started and what
# was logged; and what each caller does on its own: the hook's phases, the init scripts' actions,
# systemd, and the program removed.
# Usage: defaults_reader_test.sh READER ELOGIND_HOOK INIT_SCRIPT OPENRC_SCRIPT RUNIT_RUN ZZZ_HOOK
set -u
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/reader"
hook=$2
init=$3
openrc=$4
run=$5
zzz=$6

# The program notes its arguments, prints STANDIN_OUTPUT (stdout) and STANDIN_ERROR (stderr),
# and exits with STANDIN_STATUS. Like dpkg, it refuses to start without PATH.
cat >"$work/program" <<'STANDIN'
#!/bin/sh
[ -n "${PATH+set}" ] || { echo "PATH is not set" >&2; exit 2; }
printf '%s:%s\n' "$#" "$*" >>"$STANDIN_LOG"
printf '%b' "${STANDIN_OUTPUT:-}"
printf '%b' "${STANDIN_ERROR:-}" >&2
exit "${STANDIN_STATUS:-0}"
STANDIN
# logger as util-linux has it: the message from the arguments, or else one entry a line of input.
# With LOGGER_FAILS set it fails at once, as where no log daemon listens.
cat >"$work/logger" <<'STANDIN'
#!/bin/sh
[ -z "${LOGGER_FAILS:-}" ] || exit 1
[ "$1" = -t ] || exit 2
tag=$2
shift 2
if [ $# -gt 0 ]; then
  printf '%s: %s\n' "$tag" "$*" >>"$LOGGER_LOG"
else
  while IFS= read -r line; do printf '%s: %s\n' "$tag" "$line" >>"$LOGGER_LOG"; done
fi
STANDIN
# runit's chpst and sv, and Void's pause: each notes how it was called, in the order called.
for tool in chpst sv pause; do
  # shellcheck disable=SC2016 # expanded by the stand-in
  printf '#!/bin/sh\necho "%s $*" >>"$RUNIT_LOG"\n' "$tool" >"$work/$tool"
done
chmod +x "$work/program" "$work/logger" "$work/reader" "$work/chpst" "$work/sv" "$work/pause"

# shellcheck disable=SC2317 # called through $caller
# reader_env [NAME=VALUE]... COMMAND...: runs COMMAND with the callers' and the reader's paths
# pointing at the stand-ins, the temporary speed file and a systemd that is not running.
reader_env() {
  env PATH="$work:$PATH" GMA950CLOCK_APPLY="$work/reader" GMA950CLOCK_DEFAULTS="$work/defaults" \
    GMA950CLOCK_PROGRAM="$work/program" GMA950CLOCK_SYSTEMD="$work/no-systemd" \
    STANDIN_LOG="$work/log" LOGGER_LOG="$work/syslog" RUNIT_LOG="$work/runit" "$@"
}

# The callers of the reader, as elogind, zzz and the init systems call them.
# shellcheck disable=SC2317 # called through $caller
after_resume() { reader_env "$@" sh "$hook" post suspend; }
# shellcheck disable=SC2317
after_zzz() { reader_env ZZZ_MODE=resume "$@" sh "$zzz"; }
# shellcheck disable=SC2317
at_boot() { reader_env "$@" sh "$init" start; }
# openrc-run sources the script, then calls the action; ebegin and eend only print.
# shellcheck disable=SC2317,SC2016
openrc() {
  action=$1
  shift
  reader_env "$@" sh -c '. "$1"; ebegin() { :; }; eend() { return "$1"; }; "$2"' sh "$openrc" "$action"
}
# shellcheck disable=SC2317
openrc_start() { openrc start "$@"; }
# runsv runs ./run: 0 when the service stays up in Void's pause, 3 in sleep (where there is no
# pause), 1 when it takes itself down.
# shellcheck disable=SC2317
runit_up() {
  rm -f "$work/runit"
  reader_env "$@" sh "$run"
  case $(cat "$work/runit" 2>/dev/null) in
    "chpst -b gma950clock pause") return 0 ;;
    "chpst -b gma950clock sleep infinity") return 3 ;;
    "sv down .") return 1 ;;
    *) return 2 ;;
  esac
}

mkdir "$work/systemd"
failures=0
# check NAME SPEED_FILE EXPECTED [ENABLED]: for each caller, SPEED_FILE is the file's content, or
# MISSING for no file; EXPECTED is what the stand-in logged, "1:400" for one argument 400, empty
# for not started, or REFUSED for not started, one line logged and a failing exit status. ENABLED
# is what the services an administrator enabled expect instead, where that differs: NOSPEED for
# not started, one line logged and a failing exit status.
check() {
  for caller in after_resume after_zzz at_boot openrc_start runit_up; do
    expected=$3
    case $caller in openrc_start | runit_up) expected=${4:-$3} ;; esac
    rm -f "$work/defaults" "$work/log" "$work/syslog"
    [ "$2" = MISSING ] || printf '%b' "$2" >"$work/defaults"
    "$caller"
    status=$?
    logged=$(cat "$work/log" 2>/dev/null)
    syslog=$(cat "$work/syslog" 2>/dev/null)
    if [ "$expected" = REFUSED ] || [ "$expected" = NOSPEED ]; then
      case $expected:$syslog in
        "REFUSED:gma950clock: $work/defaults: cannot use "*"; GMA950CLOCK_SPEED must be 400, 250 or 200") ;;
        "NOSPEED:gma950clock: $work/defaults sets no GMA950CLOCK_SPEED; it must be 400, 250 or 200") ;;
        *) syslog="wrong: $syslog" ;;
      esac
      [ "$status" -ne 0 ] && [ -z "$logged" ] && [ "$(printf '%s\n' "$syslog" | wc -l)" -eq 1 ] &&
        [ "${syslog#wrong}" = "$syslog" ] && continue
    elif [ "$status" -eq 0 ] && [ "$logged" = "$expected" ] && [ -z "$syslog" ]; then
      continue
    fi
    echo "FAIL $1 ($caller): exit $status, program started with '$logged', logged '$syslog', expected '$expected'"
    failures=$((failures + 1))
  done
}

check "a speed"                    'GMA950CLOCK_SPEED=400\n'                     '1:400'
check "no speed file"              MISSING                                       ''     NOSPEED
check "no speed line"              '# set a speed here\nOTHER=1\n'               ''     NOSPEED
check "commented out"              '#GMA950CLOCK_SPEED=400\n'                    ''     NOSPEED
check "empty value"                'GMA950CLOCK_SPEED=\n'                        ''     NOSPEED
check "double quotes"              'GMA950CLOCK_SPEED="250"\n'                   '1:250'
check "single quotes"              "GMA950CLOCK_SPEED='200'\n"                   '1:200'
check "blanks around"              '  GMA950CLOCK_SPEED=250  \n'                 '1:250'
check "exported"                   'export GMA950CLOCK_SPEED=400\n'              '1:400'
check "trailing comment"           'GMA950CLOCK_SPEED=400 # fast\n'              '1:400'
check "quoted, then a comment"     "export GMA950CLOCK_SPEED='250'\t# quiet\n"   '1:250'
check "last line counts"           'GMA950CLOCK_SPEED=400\nGMA950CLOCK_SPEED=200\n' '1:200'
check "no line feed at the end"    'GMA950CLOCK_SPEED=400'                       '1:400'
check "other variable's suffix"    'MY_GMA950CLOCK_SPEED=400\n'                  ''     NOSPEED
check "not a speed"                'GMA950CLOCK_SPEED=300\n'                     REFUSED
check "last line is not a speed"   'GMA950CLOCK_SPEED=400\nGMA950CLOCK_SPEED=40\n' REFUSED
check "blanks around ="            'GMA950CLOCK_SPEED = 400\n'                   REFUSED
check "comment without a blank"    'GMA950CLOCK_SPEED=400# fast\n'               REFUSED
check "shell code is not run"      'GMA950CLOCK_SPEED=400; touch /tmp/x\n'       REFUSED
# shellcheck disable=SC2016 # the text must reach the file unexpanded
check "command substitution"       'GMA950CLOCK_SPEED=$(echo 400)\n'            REFUSED

# The program's report reaches the system log a line an entry, blank lines left out, stdout and
# stderr in the order printed; the status is the program's.
expected='gma950clock: Hacking hardware registers now...
gma950clock: gma950clock: refused'
for caller in after_resume after_zzz at_boot openrc_start; do
  printf 'GMA950CLOCK_SPEED=200\n' >"$work/defaults"
  rm -f "$work/log" "$work/syslog"
  "$caller" STANDIN_STATUS=1 STANDIN_OUTPUT='\nHacking hardware registers now...\n\n' \
    STANDIN_ERROR='gma950clock: refused\n'
  status=$?
  if [ "$status" -ne 1 ] || [ "$(cat "$work/syslog")" != "$expected" ]; then
    echo "FAIL report to the system log ($caller): exit $status, logged '$(cat "$work/syslog")'"
    failures=$((failures + 1))
  fi

  # Where no log daemon listens yet the setting is applied all the same, with the program's status.
  rm -f "$work/log"
  "$caller" LOGGER_FAILS=1 STANDIN_OUTPUT='a line\n'
  status=$?
  if [ "$status" -ne 0 ] || [ "$(cat "$work/log")" != 1:200 ]; then
    echo "FAIL without a log daemon ($caller): exit $status, program started with '$(cat "$work/log")'"
    failures=$((failures + 1))
  fi

  # With the package removed but not purged the callers stay as conffiles and the reader is gone;
  # they must not act or complain, even about a speed that could not be used, and not even under
  # systemd, which (before 260) makes a unit of the init script once the package's mask is gone.
  printf 'GMA950CLOCK_SPEED=300\n' >"$work/defaults"
  rm -f "$work/syslog" "$work/log"
  "$caller" GMA950CLOCK_APPLY="$work/removed" GMA950CLOCK_SYSTEMD="$work/systemd" >"$work/said" 2>&1
  status=$?
  if [ "$status" -ne 0 ] || [ -e "$work/syslog" ] || [ -e "$work/log" ] || [ -s "$work/said" ]; then
    echo "FAIL with the package removed ($caller): exit $status, logged '$(cat "$work/syslog" 2>/dev/null)', said '$(cat "$work/said")'"
    failures=$((failures + 1))
  fi
done

# act NAME STATUS STARTED SAID COMMAND...: with a speed of 400 in the file, runs COMMAND and checks
# its status, whether the program was started with 400 (yes or no) and what it said on stdout and
# stderr.
act() {
  name=$1 expected_status=$2 expected_start=$3 expected_said=$4
  shift 4
  printf 'GMA950CLOCK_SPEED=400\n' >"$work/defaults"
  rm -f "$work/log" "$work/syslog"
  said=$("$@" 2>&1)
  status=$?
  started=no
  [ "$(cat "$work/log" 2>/dev/null)" != 1:400 ] || started=yes
  if [ "$status" -ne "$expected_status" ] || [ "$started" != "$expected_start" ] || [ "$said" != "$expected_said" ]; then
    echo "FAIL $name: exit $status, started $started, said '$said';" \
      "expected exit $expected_status, started $expected_start, said '$expected_said'"
    failures=$((failures + 1))
  fi
}

usage='Usage: /etc/init.d/gma950clock {start|stop|restart|force-reload|status}'
act "hook before the sleep" 0 no '' reader_env sh "$hook" pre suspend
act "hook after hibernation" 0 yes '' reader_env sh "$hook" post hibernate
act "hook without arguments" 0 no '' reader_env sh "$hook"
act "restart" 0 yes '' reader_env sh "$init" restart
act "force-reload" 0 yes '' reader_env sh "$init" force-reload
act "stop changes nothing" 0 no '' reader_env sh "$init" stop
act "another action" 3 no "$usage" reader_env sh "$init" reload
act "no action" 3 no "$usage" reader_env sh "$init"
act "under systemd" 0 no 'gma950clock: under systemd, enable gma950clock@400.service (or @250, @200) instead' \
  reader_env GMA950CLOCK_SYSTEMD="$work/systemd" sh "$init" start
# Debian's runit starts init scripts without PATH. The program reports nothing here, so that the
# real logger, which that PATH finds, logs nothing.
act "no PATH at all" 0 yes '' reader_env STANDIN_OUTPUT= env -u PATH /bin/sh "$init" start
act "zzz without PATH" 0 yes '' reader_env STANDIN_OUTPUT= env -u PATH /bin/sh "$zzz"
act "OpenRC's stop changes nothing" 0 no '' openrc stop
act "runit, the program removed: down, quietly" 1 no '' runit_up GMA950CLOCK_APPLY="$work/removed"
# Debian's runit has no pause.
mv "$work/pause" "$work/pause.void"
act "runit up, without Void's pause" 3 yes '' runit_up

# status NAME CONFIG SPEED EXPECTED_STATUS SAID [HOW]: the init script's status with a made-up
# configuration file of 00:02.0 (IDENTITY:F0 as hex bytes, "header" for one the kernel shows only
# 64 bytes of, MISSING for none) and GMA950CLOCK_SPEED=SPEED in the speed file; HOW is systemd
# for the LSB script under systemd, or openrc for OpenRC's clock command instead.
bytes() { for byte in $(echo "$1" | sed 's/../& /g'); do printf '%b' "\\0$(printf '%o' "0x$byte")"; done; }
config_space() {
  case $1 in
    MISSING) ;;
    header) { bytes 8680ae27; head -c 60 /dev/zero; } >"$work/config" ;;
    *) { bytes "${1%:*}"; head -c 236 /dev/zero; bytes "${1#*:}"; } >"$work/config" ;;
  esac
}
status() {
  rm -f "$work/config"
  config_space "$2"
  printf 'GMA950CLOCK_SPEED=%s\n' "$3" >"$work/defaults"
  case ${6:-} in
    openrc) said=$(openrc clock GMA950CLOCK_CONFIG="$work/config" 2>&1) ;;
    *) said=$(reader_env GMA950CLOCK_CONFIG="$work/config" ${6:+GMA950CLOCK_SYSTEMD="$work/systemd"} sh "$init" status 2>&1) ;;
  esac
  code=$?
  if [ "$code" -ne "$4" ] || [ "$said" != "$5" ]; then
    echo "FAIL status $1: exit $code, said '$said'; expected exit $4, said '$5'"
    failures=$((failures + 1))
  fi
}
status "the defaults file's speed" 8680ae27:33056434 400 0 'gma950clock: the core clock is set to 400 MHz'
status "another speed"       8680a227:31056434 400 3 'gma950clock: the core clock is set to 250 MHz'
status "no speed chosen"     86807227:34056434 '' 3 'gma950clock: the core clock is set to 200 MHz'
status "the power-on value"  8680ae27:30056434 400 3 'gma950clock: register 0xF0 holds none of the settings: 34d0e72d'
status "only the header"     header 400 4 "gma950clock: cannot read register 0xF0 of $work/config: the kernel shows it only to root with CAP_SYS_ADMIN"
status "no device 00:02.0"   MISSING 400 4 'gma950clock: cannot read register 0xF0: the kernel lists no PCI device 00:02.0'
status "not a GMA 950"       34121111:33056434 400 4 'gma950clock: cannot read the clock: PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950'
status "under systemd"       8680ae27:33056434 400 4 "gma950clock: under systemd, see systemctl status 'gma950clock@*.service'" systemd
status "OpenRC's clock"      8680a227:31056434 400 3 'gma950clock: the core clock is set to 250 MHz' openrc

[ "$failures" -eq 0 ] && echo "speed file reader, sleep hooks, init scripts and services: all cases passed"
exit "$failures"
