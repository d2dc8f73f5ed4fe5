#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing,
# builds four ways (native 32-bit, the same with ASan + UBSan, the Windows
# DLL, clang with libFuzzer), runs each CTest suite (the Windows one under
# Wine) and closes with "N passed, N failed, N skipped".
#
# Where 32-bit programs run only under a user-mode emulator (set up by
# scripts/setup-ia32.sh), the native, ASan + UBSan and Windows suites run
# emulated, the sanitized one without leak checks: LeakSanitizer's check at
# exit never ends under the emulator (a test program that listed its tests
# in under a second was still running after 300 s; without the check it ends
# at once). The libFuzzer runs are skipped: they need that leak check, and
# libFuzzer lists its corpus folders with the 32-bit readdir, which under the
# emulator stops at the first entry whose 64-bit offset does not fit. The
# native suite still replays every corpus. Emulated, every time limit is
# multiplied by five (the unit tests run 3.5 times slower there), and the
# ASan + UBSan suite leaves out the corpus replays the native suite ran.
#
# A suite that cannot run is named with the reason and its tests are counted
# as skipped, never as passed. The exit status is non-zero when a build or a
# test failed, or when a suite was skipped because its tools are missing.
set -u
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
jobs=$(nproc)
. scripts/deps-common.sh

bash scripts/install-deps.sh \
  || echo "installing dependencies failed: suites whose tools are missing are skipped"
ia32=$(bash scripts/setup-ia32.sh --query 2>&1 | head -1)
case $ia32 in
  native) ;;
  emulated*) echo "32-bit programs run ${ia32/emulated/emulated by}: the native, ASan + UBSan and Windows suites run emulated" ;;
  *) echo "no suite can run: ${ia32#none: }" ;;
esac

scale=1
[[ $ia32 == emulated* ]] && scale=5
status=0
total_pass=0; total_fail=0; total_skip=0
lacking() { local p out=(); for p in "$@"; do have "$p" || out+=("$p"); done; echo "${out[*]}"; }
tests_in() {  # dir: the number of tests CTest knows there, or nothing
  [ -f "$1/CTestTestfile.cmake" ] || return 0
  (cd "$1" && ctest -N 2>/dev/null) | sed -n 's/^Total Tests: //p'
}
skip_suite() {  # name count why [missing]: counts the suite's tests as skipped
  local count=${2:-}
  if [ -n "$count" ] && [ "$count" -gt 0 ]; then
    echo "== $1: skipped, $count tests ($3)"
  else
    count=1
    echo "== $1: skipped, counted as 1 test as it was never configured ($3)"
  fi
  total_skip=$((total_skip + count))
  [ "${4:-}" = missing ] && status=1
}

configure_build() {  # dir toolchain [extra cmake args...]
  local dir=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=ON -DKELVRA_TIMEOUT_SCALE=$scale "$@" \
    >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 \
    || { grep -E 'error|Error' "$dir.build.log" | head -50; return 1; }
}

run_suite() {  # name dir [ctest args...]
  local name=$1 dir=$2 log; shift 2
  log="$dir/ctest.log"
  echo "== $name"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout $((900 * scale)) "$@") >"$log" 2>&1
  local rc=$?
  grep -E '^[0-9]+% tests passed|tests failed|\*\*\*Failed|Failed  |\(Failed\)|Timeout|FAILED' "$log" | head -60
  local line; line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "$name: no test summary (counted as one failure)"; tail -30 "$log"
    total_fail=$((total_fail + 1)); status=1; return
  fi
  local failed total
  failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  total_pass=$((total_pass + total - failed)); total_fail=$((total_fail + failed))
  [ $rc -eq 0 ] || { status=1; sed -n '/The following tests FAILED/,$p' "$log"; }
}

build_and_run() {  # name dir toolchain [cmake args...]: a build that fails counts as one failure
  local name=$1 dir=$2; shift 2
  if configure_build "$dir" "$@"; then
    run_suite "$name" "$dir" "${ctest_args[@]}"
  else
    echo "== $name: build failed (counted as one failure)"
    total_fail=$((total_fail + 1)); status=1
  fi
}

ctest_args=()
mkdir -p build
# The test helpers over libtiff and libpng (tests/tiffcheck) are the
# machine's own programs: the native suites need the amd64 libraries, and
# the fuzz build, which has no helper, needs neither.
native_lacks=$(lacking cmake g++-multilib libgtest-dev libtiff-dev libpng-dev libstb-dev)
win_lacks=$(lacking cmake g++-mingw-w64-i686 libstb-dev wine wine32:i386)
fuzz_lacks=$(lacking clang llvm)
fuzz_targets=$(ls fuzz/*_fuzz.cpp | wc -l)
no32=
[[ $ia32 == native || $ia32 == emulated* ]] || no32=${ia32#none: }

if [ -n "$no32" ] || [ -n "$native_lacks" ]; then
  skip_suite "native unit tests" "$(tests_in build/native)" "${no32:-not installed: $native_lacks}" missing
else
  build_and_run "native unit tests" build/native cmake/linux-m32.cmake
fi
native_tests=$(tests_in build/native)
if [ -n "$no32" ] || [ -n "$native_lacks" ]; then
  skip_suite "native unit tests, ASan + UBSan" "$native_tests" "${no32:-not installed: $native_lacks}" missing
elif [[ $ia32 == emulated* ]]; then
  echo "(under the emulator LeakSanitizer's check at exit never ends: the next suite runs without leak checks," \
       "and leaves out the corpus replays the native suite ran)"
  ctest_args=(-E '^fuzz_replay_')
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_run "native unit tests, ASan + UBSan (no leak checks)" build/native-asan \
      cmake/linux-m32.cmake -DKELVRA_SANITIZE=ON
  ctest_args=()
else
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_run "native unit tests, ASan + UBSan" build/native-asan cmake/linux-m32.cmake \
      -DKELVRA_SANITIZE=ON
fi
if [ -n "$no32" ] || [ -n "$win_lacks" ]; then
  skip_suite "Windows DLL under Wine" "$(tests_in build/win)" "${no32:-not installed: $win_lacks}" missing
else
  build_and_run "Windows DLL under Wine" build/win cmake/mingw-i686.cmake
fi
# libFuzzer targets (clang), each run for a short bounded time from its corpus.
if [ -n "$no32" ] || [ -n "$fuzz_lacks" ]; then
  skip_suite "fuzz targets (bounded runs)" "$fuzz_targets" "${no32:-not installed: $fuzz_lacks}" missing
elif [[ $ia32 == emulated* ]]; then
  skip_suite "fuzz targets (bounded runs)" "$fuzz_targets" \
    "under the emulator libFuzzer sees no file of its corpus folders and its leak check never ends;\
 the native suite replayed every corpus"
else
  build_and_run "fuzz targets (bounded runs)" build/fuzz cmake/linux-m32-clang.cmake -DKELVRA_FUZZ=ON \
    -DKELVRA_FUZZ_SECONDS="${KELVRA_FUZZ_SECONDS:-15}"
fi
if [ -x scripts/test-extra.sh ]; then
  bash scripts/test-extra.sh || status=1
fi
echo "$total_pass passed, $total_fail failed, $total_skip skipped"
exit $status
