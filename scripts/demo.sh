#!/usr/bin/env bash
# The main job on bundled input: builds kelvra-host, the command-line host,
# and runs `kelvra-host demo`, which drives the library through its exports
# the way Kelvra does. Normal maps in both conventions, a 16-bit and a float
# displacement map, the preview and a layered editor document, with a picture
# of each map, go into out/; a table of what was written is printed.
#   scripts/demo.sh             the native build
#   scripts/demo.sh --windows   kelvra-host.exe with the real KelvraDLL.dll under
#                               Wine, into out/windows/ (the same files)
set -u
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# Only what the demo needs: CMake and a compiler for 32-bit code (and Wine
# with mingw-w64 for --windows); no test dependency can stop it.
windows=no; [ "${1:-}" = "--windows" ] && windows=yes
if [ $windows = yes ]; then
  bash scripts/install-deps.sh --demo --windows
else
  bash scripts/install-deps.sh --demo
fi || echo "some dependencies are missing (above); the demo goes on with what is installed"
# kelvra-host is a 32-bit program, natively and under Wine.
ia32=$(bash scripts/setup-ia32.sh --query 2>&1 | head -1)
case $ia32 in
  native | emulated*) ;;
  *) echo "the demo cannot run: ${ia32#none: }"; exit 1 ;;
esac
# Build folders of their own: the test builds (build/native, build/win) keep
# their tests.
mkdir -p build
build() {  # dir toolchain
  cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="$root/$2" -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF \
    >"$1.configure.log" 2>&1 || { cat "$1.configure.log"; exit 1; }
  cmake --build "$1" -j"$(nproc)" --target kelvra-host >"$1.build.log" 2>&1 \
    || { tail -40 "$1.build.log"; exit 1; }
}
if [ $windows = yes ]; then
  build build/demo-win cmake/mingw-i686.cmake
  prefix="$root/build/demo-win/wineprefix"
  bash tests/winhost/run_wine.sh --init "$prefix" >/dev/null || exit 1
  mkdir -p out/windows
  bash tests/winhost/run_wine.sh "$prefix" "$root/build/demo-win/bin/kelvra-host.exe" demo -o out/windows
else
  build build/demo cmake/linux-m32.cmake
  build/demo/bin/kelvra-host demo -o out
fi
