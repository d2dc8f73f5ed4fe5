#!/usr/bin/env bash
# The Windows kelvra-host under Wine against the real KelvraDLL.dll.
#   wine_host_test.sh PREFIX WIN_BIN_DIR NATIVE_BIN_DIR WORK_DIR
# WIN_BIN_DIR holds kelvra-host.exe beside KelvraDLL.dll; NATIVE_BIN_DIR the
# native kelvra-host, whose outputs the Windows program's must equal byte
# for byte.
set -u
prefix=$1 winbin=$2 nativebin=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
wine_run() { bash "$here/../../../tests/winhost/run_wine.sh" "$prefix" "$winbin/kelvra-host.exe" "$@"; }
passed=0 failed=0
check() {  # name status
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

# The DLL loads by name and every export resolves.
out=$(wine_run --version); rc=$?
echo "$out"
[ $rc -eq 0 ] && echo "$out" | grep -q "KelvraDLL.dll loaded, all 17 exports resolved"
check "library loads, 17 exports" $?

# PNG input is refused with a clear line and a non-zero exit.
printf '\x89PNG\r\n\x1a\n' >h.png
out=$(wine_run render h.png -o h.tif); rc=$?
echo "$out"
[ $rc -ne 0 ] && echo "$out" | grep -q "reads and writes PGM/PPM only" && [ ! -e h.tif ]
check "PNG refused" $?

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
