#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing,
# builds the native 32-bit build and the Windows DLL, runs both CTest suites
# (the Windows one under Wine) and exits non-zero on any failure.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/install-deps.sh || { echo "installing dependencies failed"; exit 1; }

configure_build() {  # dir toolchain [extra cmake args...]
  local dir=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 \
    || { grep -E 'error|Error' "$dir.build.log" | head -50; return 1; }
}

mkdir -p build
status=0
configure_build build/native cmake/linux-m32.cmake || { echo "native build failed"; exit 1; }
configure_build build/win cmake/mingw-i686.cmake || { echo "Windows build failed"; exit 1; }
# The whole native suite once more with AddressSanitizer and UBSan.
configure_build build/native-asan cmake/linux-m32.cmake -DKELVRA_SANITIZE=ON \
  || { echo "sanitizer build failed"; exit 1; }
# libFuzzer targets (clang), each run for a short bounded time from its corpus.
configure_build build/fuzz cmake/linux-m32-clang.cmake -DKELVRA_FUZZ=ON \
  -DKELVRA_FUZZ_SECONDS="${KELVRA_FUZZ_SECONDS:-15}" || { echo "fuzz build failed"; exit 1; }

total_pass=0; total_fail=0
run_suite() {  # name dir
  local name=$1 dir=$2 log
  log="$dir/ctest.log"
  echo "== $name"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900) >"$log" 2>&1
  local rc=$?
  grep -E '^[0-9]+% tests passed|tests failed|\*\*\*Failed|Failed  |\(Failed\)|Timeout|FAILED' "$log" | head -60
  local line; line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  local failed total
  failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  if [ -z "$line" ]; then
    echo "$name: no test summary"; tail -30 "$log"; status=1; return
  fi
  total_pass=$((total_pass + total - failed)); total_fail=$((total_fail + failed))
  [ $rc -eq 0 ] || { status=1; sed -n '/The following tests FAILED/,$p' "$log"; }
}

run_suite "native unit tests" build/native
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "native unit tests, ASan + UBSan" build/native-asan
run_suite "Windows DLL under Wine" build/win
run_suite "fuzz targets (bounded runs)" build/fuzz
if [ -x scripts/test-extra.sh ]; then
  bash scripts/test-extra.sh || status=1
fi
echo "$total_pass passed, $total_fail failed"
exit $status
