#!/bin/sh
# Runs the elogind sleep hook against a stand-in program and temporary defaults files, and checks
# with which speed (if any) the program was started.
# Usage: sleep_hook_test.sh HOOK
set -u
hook=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

cat >"$work/program" <<'STANDIN'
#!/bin/sh
printf '%s:%s\n' "$#" "$*" >>"$STANDIN_LOG"
STANDIN
chmod +x "$work/program"

failures=0
# check NAME PHASE DEFAULTS EXPECTED: DEFAULTS is the file's content, or MISSING for no file;
# EXPECTED is what the stand-in logged, "1:400" for one argument 400, empty for not started.
check() {
  rm -f "$work/defaults" "$work/log"
  [ "$3" = MISSING ] || printf '%b' "$3" >"$work/defaults"
  GMA950CLOCK_DEFAULTS="$work/defaults" GMA950CLOCK_PROGRAM="$work/program" \
    STANDIN_LOG="$work/log" sh "$hook" "$2" suspend
  status=$?
  logged=$(cat "$work/log" 2>/dev/null)
  if [ "$status" -ne 0 ] || [ "$logged" != "$4" ]; then
    echo "FAIL $1: exit $status, program started with '$logged', expected '$4'"
    failures=$((failures + 1))
  fi
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
check "last line counts"           post 'GMA950CLOCK_SPEED=400\nGMA950CLOCK_SPEED=200\n' '1:200'
check "no line feed at the end"    post 'GMA950CLOCK_SPEED=400'                       '1:400'
check "shell code is not run"      post 'GMA950CLOCK_SPEED=400; touch /tmp/x\n'       ''
# shellcheck disable=SC2016 # the text must reach the file unexpanded
check "command substitution"       post 'GMA950CLOCK_SPEED=$(echo 400)\n'            ''
check "other variable's suffix"    post 'MY_GMA950CLOCK_SPEED=400\n'                  ''

# elogind passes no arguments only if something is badly wrong; the hook must still do nothing.
rm -f "$work/log"
GMA950CLOCK_DEFAULTS="$work/defaults" GMA950CLOCK_PROGRAM="$work/program" STANDIN_LOG="$work/log" \
  sh "$hook"
if [ -e "$work/log" ]; then
  echo "FAIL without arguments: program started"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "sleep hook: all cases passed"
exit "$failures"
