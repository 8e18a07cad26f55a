#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the reader of the speed file through every one of its callers: the sleep hooks after a
# wake (elogind's, zzz's), the LSB init script at boot, runit's stage 1, the services an
# administrator enables (OpenRC's start, runit's run), against stand-ins for the program, logger
# and runit's tools, temporary speed files, power supplies and configuration files of 00:02.0, and
# checks with which speed (if any) the program was started and what was logged where; the power
# source and the register deciding the speed and whether to write; the status, and the condition
# of gma950clock@auto.service; and what each caller does on its own: the hook's phases, the init
# scripts' actions, systemd, and the program removed.
# Usage: defaults_reader_test.sh READER ELOGIND_HOOK INIT_SCRIPT OPENRC_SCRIPT RUNIT_RUN ZZZ_HOOK
#          RUNIT_CORE_SERVICE   (READER: the template the build made, its paths given here)
set -u
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/reader"
hook=$2
init=$3
openrc=$4
run=$5
zzz=$6
core=$7

# The program notes its arguments, prints STANDIN_OUTPUT (stdout) and STANDIN_ERROR (stderr),
# and exits with STANDIN_STATUS. Like dpkg, it refuses to start without PATH. With STANDIN_SETS
# it takes a moment, then leaves the register as the real one would: the configuration file
# $STANDIN_SETS.SPEED in place of $STANDIN_SETS.
cat >"$work/program" <<'STANDIN'
#!/bin/sh
[ -n "${PATH+set}" ] || { echo "PATH is not set" >&2; exit 2; }
printf '%s:%s\n' "$#" "$*" >>"$STANDIN_LOG"
[ -z "${STANDIN_SETS:-}" ] || { sleep 1; cp "$STANDIN_SETS.$1" "$STANDIN_SETS"; }
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
# Where a log daemon listens, its socket is there.
perl -MSocket -e 'socket(my $s, PF_UNIX, SOCK_DGRAM, 0) or exit 1; bind($s, pack_sockaddr_un($ARGV[0])) or exit 1' \
  "$work/log.socket" || exit 1

# The kernel's configuration file of 00:02.0, with IDENTITY:F0 as hex bytes in the order the file
# holds them, "header" for one the kernel shows only 64 bytes of, or MISSING for none.
bytes() { for byte in $(echo "$1" | sed 's/../& /g'); do printf '%b' "\\0$(printf '%o' "0x$byte")"; done; }
config_space() {
  rm -f "$2"
  case $1 in
    MISSING) ;;
    header) { bytes 8680ae27; head -c 60 /dev/zero; } >"$2" ;;
    *) { bytes "${1%:*}"; head -c 236 /dev/zero; bytes "${1#*:}"; } >"$2" ;;
  esac
}
# The lab's GMA 950 holding each setting, for the program's stand-in to leave behind.
for setting in 400:33056434 250:31056434 200:34056434; do
  config_space "8680ae27:${setting#*:}" "$work/config.${setting%%:*}"
done

# power_supplies NAME=TYPE[:ONLINE_OR_SCOPE]...: /sys/class/power_supply as the kernel would show
# it; the third field is `online` for an adapter or charger, `scope` for a battery.
power_supplies() {
  rm -rf "$work/supplies"
  mkdir "$work/supplies"
  for supply in "$@"; do
    name=${supply%%=*} kind=${supply#*=}
    mkdir "$work/supplies/$name"
    echo "${kind%%:*}" >"$work/supplies/$name/type"
    case $kind in
      Battery:*) echo "${kind#*:}" >"$work/supplies/$name/scope" ;;
      *:*) echo "${kind#*:}" >"$work/supplies/$name/online" ;;
    esac
  done
}
power_supplies

# shellcheck disable=SC2317 # called through $caller
# reader_env [NAME=VALUE]... COMMAND...: runs COMMAND with the callers' and the reader's paths
# pointing at the stand-ins, the temporary speed file and a systemd that is not running.
reader_env() {
  env PATH="$work:$PATH" GMA950CLOCK_APPLY="$work/reader" GMA950CLOCK_DEFAULTS="$work/defaults" \
    GMA950CLOCK_PROGRAM="$work/program" GMA950CLOCK_SYSTEMD="$work/no-systemd" \
    GMA950CLOCK_CONFIG="$work/config" GMA950CLOCK_POWER_SUPPLIES="$work/supplies" \
    GMA950CLOCK_LOG_SOCKET="$work/log.socket" GMA950CLOCK_KMSG="$work/kmsg" GMA950CLOCK_LOCK="$work/lock" \
    STANDIN_LOG="$work/log" LOGGER_LOG="$work/syslog" RUNIT_LOG="$work/runit" "$@"
}

# The callers of the reader, as elogind, zzz and the init systems call them.
# shellcheck disable=SC2317 # called through $caller
after_resume() { reader_env "$@" sh "$hook" post suspend; }
# shellcheck disable=SC2317
after_zzz() { reader_env ZZZ_MODE=resume "$@" sh "$zzz"; }
# shellcheck disable=SC2317
at_boot() { reader_env "$@" sh "$init" start; }
# Void's stage 1 sources its core services, and must go on whatever they do: the status is the
# reader's, or 99 where stage 1 would have ended.
# shellcheck disable=SC2317,SC2016
stage1() {
  rm -f "$work/stage1"
  reader_env "$@" sh -c '. "$1"; status=$?; echo "goes on" >"$2"; exit "$status"' sh "$core" "$work/stage1"
  status=$?
  [ -e "$work/stage1" ] || return 99
  return "$status"
}
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
  for caller in after_resume after_zzz at_boot stage1 openrc_start runit_up; do
    expected=$3
    case $caller in openrc_start | runit_up) expected=${4:-$3} ;; esac
    rm -f "$work/defaults"
    [ "$2" = MISSING ] || printf '%b' "$2" >"$work/defaults"
    judge "$1" "$caller" "$expected"
  done
}

# judge NAME CALLER EXPECTED: runs CALLER and checks what it did, as check's EXPECTED says.
judge() {
  rm -f "$work/log" "$work/syslog"
  "$2"
  status=$?
  logged=$(cat "$work/log" 2>/dev/null)
  syslog=$(cat "$work/syslog" 2>/dev/null)
  if [ "$3" = REFUSED ] || [ "$3" = NOSPEED ]; then
    case $3:$syslog in
      "REFUSED:gma950clock: $work/defaults: cannot use "*"; GMA950CLOCK_SPEED"*" must be 400, 250 or 200") ;;
      "NOSPEED:gma950clock: $work/defaults sets no "*" must be 400, 250 or 200") ;;
      *) syslog="wrong: $syslog" ;;
    esac
    [ "$status" -ne 0 ] && [ -z "$logged" ] && [ "$(printf '%s\n' "$syslog" | wc -l)" -eq 1 ] &&
      [ "${syslog#wrong}" = "$syslog" ] && return
  elif [ "$status" -eq 0 ] && [ "$logged" = "$3" ] && [ -z "$syslog" ]; then
    return
  fi
  echo "FAIL $1 ($2): exit $status, program started with '$logged', logged '$syslog', expected '$3'"
  failures=$((failures + 1))
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

# by_source NAME SUPPLIES SPEED_FILE REGISTER EXPECTED: with the power supplies SUPPLIES (as
# power_supplies takes them) and register 0xF0 (as config_space takes it), what the reader does run
# as udev runs it when the source changes (as an enabled service where EXPECTED is NOSPEED); as
# check's EXPECTED. Each of the three variables follows the rules the rows above prove.
# shellcheck disable=SC2317 # called through judge
udev_run() { reader_env sh "$work/reader"; }
# shellcheck disable=SC2317
service_run() { reader_env sh "$work/reader" --required; }
by_source() {
  # shellcheck disable=SC2086 # a list of supplies
  power_supplies $2
  printf '%b' "$3" >"$work/defaults"
  config_space "$4" "$work/config"
  caller=udev_run
  [ "$5" != NOSPEED ] || caller=service_run
  judge "$1" "$caller" "$5"
  power_supplies
  rm -f "$work/config"
}
both='GMA950CLOCK_SPEED_ON_AC=400\nGMA950CLOCK_SPEED_ON_BAT=200\n'
gma950_at=8680ae27:30056434   # the lab's GMA 950 at its power-on value, none of the settings
by_source "adapter online"              "AC=Mains:1 BAT0=Battery"            "$both" "$gma950_at" 1:400
by_source "adapter offline"             "AC=Mains:0 BAT0=Battery"            "$both" "$gma950_at" 1:200
by_source "a USB charger online"        "AC=Mains:0 ucsi-source-psy-1=USB:1 BAT0=Battery" "$both" "$gma950_at" 1:400
by_source "a charger of an older type"  "usb=USB_PD:1 BAT0=Battery"          "$both" "$gma950_at" 1:400
by_source "a USB charger offline"       "usb=USB:0 BAT0=Battery"             "$both" "$gma950_at" 1:200
by_source "no power supply: a desktop"  ""                                   "$both" "$gma950_at" 1:400
by_source "adapter offline, no battery" "AC=Mains:0"                         "$both" "$gma950_at" 1:400
by_source "only a mouse's battery"      "AC=Mains:0 hidpp_battery0=Battery"  "$both" "$gma950_at" 1:400
by_source "a battery of device scope"   "AC=Mains:0 pad=Battery:Device"      "$both" "$gma950_at" 1:400
by_source "a battery of system scope"   "AC=Mains:0 BAT1=Battery:System"     "$both" "$gma950_at" 1:200
by_source "battery, none of its own"    "AC=Mains:0 BAT0=Battery" 'GMA950CLOCK_SPEED=250\nGMA950CLOCK_SPEED_ON_AC=400\n' "$gma950_at" 1:250
by_source "mains, none of its own"      "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_BAT=200\nGMA950CLOCK_SPEED=250\n' "$gma950_at" 1:250
by_source "only the other source's"     "AC=Mains:0 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC=400\n' "$gma950_at" ''
by_source "an enabled service, none for it" "AC=Mains:0 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC=400\n' "$gma950_at" NOSPEED
by_source "exported, quoted, a comment" "AC=Mains:0 BAT0=Battery" "export GMA950CLOCK_SPEED_ON_BAT='250'\t# quiet\n" "$gma950_at" 1:250
by_source "the last assignment counts"  "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC=200\nGMA950CLOCK_SPEED_ON_AC="400"\n' "$gma950_at" 1:400
by_source "not a speed for the other source" "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC=400\nGMA950CLOCK_SPEED_ON_BAT=300\n' "$gma950_at" REFUSED
by_source "not a speed where none is needed" "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC=400\nGMA950CLOCK_SPEED=2000\n' "$gma950_at" REFUSED
by_source "blanks around = for a source" "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_AC = 400\n' "$gma950_at" REFUSED
by_source "trailing text for a source"  "AC=Mains:0 BAT0=Battery" 'GMA950CLOCK_SPEED_ON_BAT=200 x::\n' "$gma950_at" REFUSED
by_source "the register holds it"       "AC=Mains:0 BAT0=Battery"            "$both" 8680ae27:34056434 ''
by_source "it holds the other source's" "AC=Mains:1 BAT0=Battery"            "$both" 8680ae27:34056434 1:400
by_source "an enabled service, held"    "AC=Mains:1 BAT0=Battery" 'GMA950CLOCK_SPEED=400\n' 8680ae27:33056434 ''
# The program says what stands in the way where the register cannot be read.
by_source "the register not shown"      "AC=Mains:1 BAT0=Battery"            "$both" header 1:400
by_source "no GMA 950"                  "AC=Mains:1 BAT0=Battery"            "$both" 34121111:33056434 1:400
by_source "no device 00:02.0"           "AC=Mains:1 BAT0=Battery"            "$both" MISSING 1:400

# A wake's hook and udev's event for an adapter unplugged during the sleep run the reader at
# once: the program runs once, and the second finds the speed set.
printf '%b' "$both" >"$work/defaults"
power_supplies AC=Mains:0 BAT0=Battery
config_space "$gma950_at" "$work/config"
rm -f "$work/log"
reader_env STANDIN_SETS="$work/config" sh "$work/reader" &
reader_env STANDIN_SETS="$work/config" sh "$work/reader"
wait
if [ "$(cat "$work/log")" != 1:200 ]; then
  echo "FAIL two at once: the program started with '$(tr '\n' ' ' <"$work/log")', expected once with 200"
  failures=$((failures + 1))
fi
power_supplies
rm -f "$work/config"

# The program's report reaches the system log a line an entry, blank lines left out, stdout and
# stderr in the order printed; the status is the program's.
expected='gma950clock: Hacking hardware registers now...
gma950clock: gma950clock: refused'
for caller in after_resume after_zzz at_boot stage1 openrc_start; do
  printf 'GMA950CLOCK_SPEED=200\n' >"$work/defaults"
  rm -f "$work/log" "$work/syslog"
  "$caller" STANDIN_STATUS=1 STANDIN_OUTPUT='\nHacking hardware registers now...\n\n' \
    STANDIN_ERROR='gma950clock: refused\n'
  status=$?
  if [ "$status" -ne 1 ] || [ "$(cat "$work/syslog")" != "$expected" ]; then
    echo "FAIL report to the system log ($caller): exit $status, logged '$(cat "$work/syslog")'"
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

# logged NAME SYSLOG KMSG STDERR [NAME=VALUE...]: the report of a run at boot, with the environment
# given, is in the system log (SYSLOG), in the kernel's log (KMSG, records as the kernel takes
# them) and on standard error (STDERR), each a line an entry, blank lines left out; the program
# runs all the same, with its status.
logged() {
  name=$1 expected_syslog=$2 expected_kmsg=$3 expected_stderr=$4
  shift 4
  printf 'GMA950CLOCK_SPEED=200\n' >"$work/defaults"
  rm -f "$work/log" "$work/syslog" "$work/kmsg"
  said=$(at_boot STANDIN_STATUS=1 STANDIN_OUTPUT='\nHacking hardware registers now...\n\n' \
    STANDIN_ERROR='gma950clock: refused\n' "$@" 2>&1)
  status=$?
  if [ "$status" -ne 1 ] || [ "$(cat "$work/log")" != 1:200 ] || [ "$(cat "$work/syslog" 2>/dev/null)" != "$expected_syslog" ] ||
    [ "$(cat "$work/kmsg" 2>/dev/null)" != "$expected_kmsg" ] || [ "$said" != "$expected_stderr" ]; then
    echo "FAIL $name: exit $status, system log '$(cat "$work/syslog" 2>/dev/null)', kernel's log '$(cat "$work/kmsg" 2>/dev/null)', said '$said'"
    failures=$((failures + 1))
  fi
}
report='Hacking hardware registers now...
gma950clock: refused'
in_syslog=$(printf '%s\n' "$report" | sed 's/^/gma950clock: /')
in_kmsg=$(printf '%s\n' "$report" | sed 's/^/<5>gma950clock: /')
logged "a log daemon listens" "$in_syslog" '' ''
logged "none listens, as early at boot" '' "$in_kmsg" '' GMA950CLOCK_LOG_SOCKET="$work/no.socket"
logged "busybox's logger, none listening" '' "$in_kmsg" '' GMA950CLOCK_LOG_SOCKET="$work/no.socket" LOGGER_FAILS=
logged "the socket left, logger fails" '' "$in_kmsg" '' LOGGER_FAILS=1
logged "no kernel's log either" '' '' "$in_syslog" GMA950CLOCK_LOG_SOCKET="$work/no.socket" GMA950CLOCK_KMSG=/proc/none

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

# status NAME CONFIG SPEED_FILE SUPPLIES EXPECTED_STATUS SAID [HOW]: the init script's status with
# register 0xF0 (as config_space takes it), the speed file and the power supplies given; SAID as
# printf's %b reads it. HOW is systemd for the LSB script under systemd, or openrc for OpenRC's
# clock command instead.
status() {
  config_space "$2" "$work/config"
  printf '%b' "$3" >"$work/defaults"
  # shellcheck disable=SC2086 # a list of supplies
  power_supplies $4
  case ${7:-} in
    openrc) said=$(openrc clock 2>&1) ;;
    *) said=$(reader_env ${7:+GMA950CLOCK_SYSTEMD="$work/systemd"} sh "$init" status 2>&1) ;;
  esac
  code=$?
  if [ "$code" -ne "$5" ] || [ "$said" != "$(printf '%b' "$6")" ]; then
    echo "FAIL status $1: exit $code, said '$said'; expected exit $5, said '$6'"
    failures=$((failures + 1))
  fi
}
set400='gma950clock: the core clock is set to 400 MHz'
asks400='gma950clock: on mains power, GMA950CLOCK_SPEED asks for 400 MHz'
unplugged='AC=Mains:0 BAT0=Battery'
status "the speed chosen"      8680ae27:33056434 'GMA950CLOCK_SPEED=400' '' 0 "$set400\\n$asks400"
status "another speed"         8680a227:31056434 'GMA950CLOCK_SPEED=400' '' 3 "gma950clock: the core clock is set to 250 MHz\\n$asks400"
status "no speed chosen"       86807227:34056434 '' '' 3 'gma950clock: the core clock is set to 200 MHz\ngma950clock: on mains power, no speed is chosen'
status "the power-on value"    "$gma950_at" 'GMA950CLOCK_SPEED=400' '' 3 "gma950clock: register 0xF0 holds none of the settings: 34d0e72d\\n$asks400"
status "on battery, its speed" 8680ae27:34056434 "$both" "$unplugged" 0 'gma950clock: the core clock is set to 200 MHz\ngma950clock: on battery power, GMA950CLOCK_SPEED_ON_BAT asks for 200 MHz'
status "unplugged, not yet set" 8680ae27:33056434 "$both" "$unplugged" 3 "$set400\\ngma950clock: on battery power, GMA950CLOCK_SPEED_ON_BAT asks for 200 MHz"
status "plugged, mains's speed" 8680ae27:33056434 "$both" 'AC=Mains:1 BAT0=Battery' 0 "$set400\\ngma950clock: on mains power, GMA950CLOCK_SPEED_ON_AC asks for 400 MHz"
status "a speed it cannot use" 8680ae27:33056434 'GMA950CLOCK_SPEED_ON_BAT=300' "$unplugged" 3 "$set400"
status "only the header"       header 'GMA950CLOCK_SPEED=400' '' 4 "gma950clock: cannot read register 0xF0 of $work/config: the kernel shows it only to root with CAP_SYS_ADMIN"
status "no device 00:02.0"     MISSING 'GMA950CLOCK_SPEED=400' '' 4 'gma950clock: cannot read register 0xF0: the kernel lists no PCI device 00:02.0'
status "not a GMA 950"         34121111:33056434 'GMA950CLOCK_SPEED=400' '' 4 'gma950clock: cannot read the clock: PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950'
status "under systemd"         8680ae27:33056434 'GMA950CLOCK_SPEED=400' '' 4 "gma950clock: under systemd, see systemctl status 'gma950clock@*.service'" systemd
status "OpenRC's clock"        8680a227:31056434 'GMA950CLOCK_SPEED=400' '' 3 "gma950clock: the core clock is set to 250 MHz\\n$asks400" openrc
power_supplies

# unit NAME SPEED_FILE SUPPLIES CONFIG EXPECTED_STATUS HANDED_OVER SAID: the condition of
# gma950clock@auto.service: its status (0 runs the program, 1 skips it, 255 fails the unit), what
# it hands over to the program ("-": nothing) and what it says in the unit's journal.
unit() {
  printf '%b' "$2" >"$work/defaults"
  # shellcheck disable=SC2086 # a list of supplies
  power_supplies $3
  config_space "$4" "$work/config"
  rm -f "$work/source-speed" "$work/log" "$work/syslog"
  said=$(reader_env sh "$work/reader" --unit "$work/source-speed" 2>&1)
  code=$?
  handed=$(cat "$work/source-speed" 2>/dev/null || echo -)
  if [ "$code" -ne "$5" ] || [ "$handed" != "$6" ] || [ "$said" != "$(printf '%b' "$7")" ] ||
    [ -e "$work/log" ] || [ -e "$work/syslog" ]; then
    echo "FAIL unit $1: exit $code, handed over '$handed', said '$said'; expected exit $5, '$6', said '$7'"
    failures=$((failures + 1))
  fi
}
unit "a speed to set"     "$both" "$unplugged" "$gma950_at" 0 GMA950CLOCK_SOURCE_SPEED=200 \
  'gma950clock: register 0xF0 holds none of the settings: 34d0e72d\ngma950clock: on battery power, GMA950CLOCK_SPEED_ON_BAT asks for 200 MHz'
unit "set already"        "$both" 'AC=Mains:1 BAT0=Battery' 8680ae27:33056434 1 - \
  "$set400\\ngma950clock: on mains power, GMA950CLOCK_SPEED_ON_AC asks for 400 MHz"
unit "a register not shown: the program says why" "$both" "$unplugged" header 0 GMA950CLOCK_SOURCE_SPEED=200 ''
unit "no speed chosen"    '' "$unplugged" "$gma950_at" 255 - "$work/defaults sets no GMA950CLOCK_SPEED; it must be 400, 250 or 200"
unit "none for the source" 'GMA950CLOCK_SPEED_ON_AC=400\n' "$unplugged" "$gma950_at" 255 - \
  "$work/defaults sets no speed for battery power; GMA950CLOCK_SPEED_ON_BAT or GMA950CLOCK_SPEED must be 400, 250 or 200"
unit "a speed it cannot use" 'GMA950CLOCK_SPEED_ON_AC=4OO\n' '' "$gma950_at" 255 - \
  "$work/defaults: cannot use 'GMA950CLOCK_SPEED_ON_AC=4OO'; GMA950CLOCK_SPEED_ON_AC must be 400, 250 or 200"

[ "$failures" -eq 0 ] && echo "speed file reader, sleep hooks, init scripts and services: all cases passed"
exit "$failures"
