#!/usr/bin/env bash
# The main job on bundled input: builds KelvraDLL.dll and runs the Windows
# test host's scenarios under Wine, which load the DLL the way Kelvra does and
# drive its exports.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh || exit 1
mkdir -p build
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >build/win.configure.log 2>&1 || { cat build/win.configure.log; exit 1; }
cmake --build build/win -j"$(nproc)" >build/win.build.log 2>&1 || { tail -40 build/win.build.log; exit 1; }
prefix="$root/build/win/wineprefix"
bash tests/winhost/run_wine.sh --init "$prefix" || exit 1
bash tests/winhost/run_wine.sh "$prefix" "$root/build/win/bin/kelvra_testhost.exe" "${1:-}"
