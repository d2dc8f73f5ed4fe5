#!/usr/bin/env bash
# Two clean builds of KelvraDLL.dll from the same sources, in two folders of
# different names and depths, must be the same bytes: no time stamp in the PE
# header, no source or build folder in the image.
#   check_reproducible.sh SOURCE_DIR
set -u
src=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/kelvra-repro-XXXXXX)
trap 'rm -rf "$work"' EXIT
copy_sources() {  # destination: the tracked files as they are now
  mkdir -p "$1"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard | \
       xargs -0 -r cp --parents -t "$1" 2>/dev/null)
  else
    (cd "$src" && tar --exclude=./build --exclude=./out --exclude=./dist -cf - .) | tar -xf - -C "$1"
  fi
}
dlls=()
for dir in "$work/a/src" "$work/second/much/deeper/checkout"; do
  copy_sources "$dir"
  cmake -S "$dir" -B "$dir/build-$RANDOM" -DCMAKE_TOOLCHAIN_FILE="$dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
  bdir=$(ls -d "$dir"/build-*)
  cmake --build "$bdir" -j2 --target KelvraDLL >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
  dlls+=("$bdir/bin/KelvraDLL.dll")
done
fail=0
if cmp "${dlls[0]}" "${dlls[1]}"; then
  echo "same bytes: $(sha256sum <"${dlls[0]}" | cut -d' ' -f1) ($(stat -c %s "${dlls[0]}") bytes)"
else
  echo "the two builds differ"; fail=1
fi
# Neither the folders nor their parts may show in the image.
if strings -a "${dlls[0]}" | grep -E "$work|kelvra-repro|/src/|deeper/checkout"; then
  echo "a build folder is written into the DLL"; fail=1
fi
# The PE header's TimeDateStamp (4 bytes, 8 into the COFF header) is zero.
stamp=$(/usr/bin/python3 -c "
import struct, sys
d = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', d, 0x3c)[0]
print(struct.unpack_from('<I', d, pe + 8)[0])" "${dlls[0]}")
[ "$stamp" = "0" ] || { echo "PE time stamp $stamp, not 0"; fail=1; }
exit $fail
