#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the elogind sleep hook against stand-ins for the program and logger and temporary defaults
# files, and checks with which speed (if any) the program was started and what was logged.
# Usage: sleep_hook_test.sh HOOK
set -u
hook=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# The program notes its arguments, prints STANDIN_OUTPUT (stdout) and STANDIN_ERROR (stderr),
# and exits with STANDIN_STATUS.
cat >"$work/program" <<'STANDIN'
#!/bin/sh
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
chmod +x "$work/program" "$work/logger"

# hook_env [NAME=VALUE]... COMMAND...: runs COMMAND with the hook's paths pointing at the
# stand-ins and the temporary defaults file.
hook_env() {
  env PATH="$work:$PATH" GMA950CLOCK_DEFAULTS="$work/defaults" GMA950CLOCK_PROGRAM="$work/program" \
    STANDIN_LOG="$work/log" LOGGER_LOG="$work/syslog" "$@"
}

failures=0
# check NAME PHASE DEFAULTS EXPECTED: DEFAULTS is the file's content, or MISSING for no file;
# EXPECTED is what the stand-in logged, "1:400" for one argument 400, empty for not started, or
# REFUSED for not started, one line logged and a failing exit status.
check() {
  rm -f "$work/defaults" "$work/log" "$work/syslog"
  [ "$3" = MISSING ] || printf '%b' "$3" >"$work/defaults"
  hook_env sh "$hook" "$2" suspend
  status=$?
  logged=$(cat "$work/log" 2>/dev/null)
  syslog=$(cat "$work/syslog" 2>/dev/null)
  if [ "$4" = REFUSED ]; then
    case $syslog in
      "gma950clock: $work/defaults: cannot use "*"; GMA950CLOCK_SPEED must be 400, 250 or 200") ;;
      *) syslog="wrong: $syslog" ;;
    esac
    [ "$status" -ne 0 ] && [ -z "$logged" ] && [ "$(printf '%s\n' "$syslog" | wc -l)" -eq 1 ] &&
      [ "${syslog#wrong}" = "$syslog" ] && return
  elif [ "$status" -eq 0 ] && [ "$logged" = "$4" ] && [ -z "$syslog" ]; then
    return
  fi
  echo "FAIL $1: exit $status, program started with '$logged', logged '$syslog', expected '$4'"
  failures=$((failures + 1))
}

check "after resume"               post 'GMA950CLOCK_SPEED=400\n'                     '1:400'
check "before sleep"               pre  'GMA950CLOCK_SPEED=400\n'                     ''
check "no defaults file"           post MISSING                                       ''
check "no speed line"              post '# set a speed here\nOTHER=1\n'               ''
check "commented out"              post '#GMA950CLOCK_SPEED=400\n'                    ''
check "empty value"                post 'GMA950CLOCK_SPEED=\n'                        ''
check "double quotes"              post 'GMA950CLOCK_SPEED="250"\n'                   '1:250'
check "single quotes"              post "GMA950CLOCK_SPEED='200'\n"                   '1:200'
check "blanks around"              post '  GMA950CLOCK_SPEED=250  \n'                 '1:250'
check "exported"                   post 'export GMA950CLOCK_SPEED=400\n'              '1:400'
check "trailing comment"           post 'GMA950CLOCK_SPEED=400 # fast\n'              '1:400'
check "quoted, then a comment"     post "export GMA950CLOCK_SPEED='250'\t# quiet\n"   '1:250'
check "last line counts"           post 'GMA950CLOCK_SPEED=400\nGMA950CLOCK_SPEED=200\n' '1:200'
check "no line feed at the end"    post 'GMA950CLOCK_SPEED=400'                       '1:400'
check "other variable's suffix"    post 'MY_GMA950CLOCK_SPEED=400\n'                  ''
check "not a speed"                post 'GMA950CLOCK_SPEED=300\n'                     REFUSED
check "last line is not a speed"   post 'GMA950CLOCK_SPEED=400\nGMA950CLOCK_SPEED=40\n' REFUSED
check "blanks around ="            post 'GMA950CLOCK_SPEED = 400\n'                   REFUSED
check "comment without a blank"    post 'GMA950CLOCK_SPEED=400# fast\n'               REFUSED
check "shell code is not run"      post 'GMA950CLOCK_SPEED=400; touch /tmp/x\n'       REFUSED
# shellcheck disable=SC2016 # the text must reach the file unexpanded
check "command substitution"       post 'GMA950CLOCK_SPEED=$(echo 400)\n'            REFUSED

# The program's report reaches the system log a line an entry, blank lines left out, stdout and
# stderr in the order printed; the hook's status is the program's.
printf 'GMA950CLOCK_SPEED=200\n' >"$work/defaults"
rm -f "$work/log" "$work/syslog"
hook_env STANDIN_STATUS=1 STANDIN_OUTPUT='\nHacking hardware registers now...\n\n' \
  STANDIN_ERROR='gma950clock: refused\n' sh "$hook" post suspend
status=$?
expected='gma950clock: Hacking hardware registers now...
gma950clock: gma950clock: refused'
if [ "$status" -ne 1 ] || [ "$(cat "$work/syslog")" != "$expected" ]; then
  echo "FAIL report to the system log: exit $status, logged '$(cat "$work/syslog")'"
  failures=$((failures + 1))
fi

# Where no log daemon listens the setting is applied all the same, with the program's status.
rm -f "$work/log"
hook_env LOGGER_FAILS=1 STANDIN_OUTPUT='a line\n' sh "$hook" post suspend
status=$?
if [ "$status" -ne 0 ] || [ "$(cat "$work/log")" != 1:200 ]; then
  echo "FAIL without a log daemon: exit $status, program started with '$(cat "$work/log")'"
  failures=$((failures + 1))
fi

# With the package removed but not purged the hook stays; it must not act or complain, even about a
# speed it could not use.
printf 'GMA950CLOCK_SPEED=300\n' >"$work/defaults"
rm -f "$work/syslog"
hook_env GMA950CLOCK_PROGRAM="$work/removed" sh "$hook" post suspend
status=$?
if [ "$status" -ne 0 ] || [ -e "$work/syslog" ]; then
  echo "FAIL with the program removed: exit $status, logged '$(cat "$work/syslog" 2>/dev/null)'"
  failures=$((failures + 1))
fi

# elogind passes no arguments only if something is badly wrong; the hook must still do nothing.
rm -f "$work/log"
hook_env sh "$hook"
if [ -e "$work/log" ]; then
  echo "FAIL without arguments: program started"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "sleep hook: all cases passed"
exit "$failures"
