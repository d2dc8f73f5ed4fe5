#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest.
#   run_wine.sh --init PREFIX        create the private Wine prefix
#   run_wine.sh PREFIX PROGRAM ARGS  run PROGRAM, print its report, pass on its exit code
# Wine's server keeps copies of a program's standard output, so a pipe from
# wine may never reach end of file: the program's output goes to a file that
# is printed once the program has exited.
set -u
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$1" = "--init" ]; then
  export WINEPREFIX="$2"
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 240 wineboot -i >/dev/null 2>&1 </dev/null
  fi
  timeout 60 wineserver -w >/dev/null 2>&1 </dev/null
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wine prefix not created"; exit 1; }
  echo "wine prefix ready: $WINEPREFIX"
  exit 0
fi
export WINEPREFIX="$1"; shift
program="$1"; shift
log=$(mktemp /tmp/kelvra-wine-XXXXXX.log)
timeout 500 wine "$program" "$@" >"$log" 2>&1 </dev/null
rc=$?
tr -d '\r' <"$log"
rm -f "$log"
exit $rc
