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

# Height fields as PGM, the same bytes every run: 16-bit with slopes, bumps
# and a step, large enough for the reduced measurements of modes 2 and 3,
# and a small 8-bit one.
/usr/bin/python3 - <<'PY' || exit 1
import struct
def pgm(name, w, h, maxval, f):
    fmt = '>H' if maxval > 255 else 'B'
    rows = b''.join(struct.pack(fmt, f(x, y)) for y in range(h) for x in range(w))
    open(name, 'wb').write(b'P5\n%d %d\n%d\n' % (w, h, maxval) + rows)
def field(x, y):
    v = 32768 + (x * 173) % 9000 - (y * 97) % 7000
    if (x - 120) ** 2 + (y - 70) ** 2 < 900: v += 12000
    if x > 250: v -= 6000
    return max(0, min(65535, v))
pgm('h16.pgm', 301, 203, 65535, field)
pgm('h8.pgm', 37, 23, 255, lambda x, y: (x * 7 + y * 11) % 256)
PY

native=$nativebin/kelvra-host
if [ ! -x "$native" ]; then
  echo "FAILED: no native kelvra-host at $native (build the native build first)"
  exit 1
fi
n=0
compare() {  # input options...: the same map from both programs, byte for byte
  n=$((n + 1))
  local input=$1; shift
  "$native" render "$input" -o "native$n.tif" "$@" >"native$n.log" 2>&1
  local rcn=$?
  wine_run render "$input" -o "win$n.tif" "$@" >"win$n.log" 2>&1
  local rcw=$?
  if [ $rcn -ne 0 ] || [ $rcw -ne 0 ]; then
    cat "native$n.log" "win$n.log"; check "render $n ($*): both succeed" 1; return
  fi
  cmp "native$n.tif" "win$n.tif"
  check "render $n ($*): same bytes" $?
  echo "render $n: $(head -1 "win$n.log" | sed 's/^wrote [^:]*: //'), $(stat -c %s "win$n.tif") bytes, equal"
}
compare h16.pgm --preset normal-opengl
compare h16.pgm --preset normal-directx --mode 2
compare h16.pgm --preset displacement16
compare h16.pgm --preset displacement-float --mode 3 --scale 1.7
compare h16.pgm --normal --bits 32 --smooth --wrap --flip --mode 1 --scale 0.3 --strength 4
compare h16.pgm --bits 8 --codes 21,22,41 --mode 2
compare h16.pgm --code AAALDHZAFAGAKC --scale 2.5
compare h16.pgm --via-map --preset displacement-float --mode 1 --scale 2
compare h8.pgm --normal --strength -10 --mode 3 --smooth

# Previews: the tile, rendered plainly or with the options, saved as a
# flat document by the DLL.
pn=0
compare_preview() {  # input options...
  pn=$((pn + 1))
  local input=$1; shift
  "$native" preview "$input" -o "native$pn.psd" "$@" >"pnative$pn.log" 2>&1
  local rcn=$?
  wine_run preview "$input" -o "win$pn.psd" "$@" >"pwin$pn.log" 2>&1
  local rcw=$?
  if [ $rcn -ne 0 ] || [ $rcw -ne 0 ]; then
    cat "pnative$pn.log" "pwin$pn.log"; check "preview $pn ($*): both succeed" 1; return
  fi
  cmp "native$pn.psd" "win$pn.psd"
  check "preview $pn ($*): same bytes" $?
  echo "preview $pn ($*): $(stat -c %s "win$pn.psd") bytes, equal"
}
compare_preview h16.pgm --simple
compare_preview h16.pgm --preset normal-opengl
compare_preview h16.pgm --normal --mode 1 --scale 3 --flip --smooth
compare_preview h8.pgm --bits 16 --mode 2

# A map that cannot be written is reported, and nothing is left behind.
out=$(wine_run render h8.pgm -o no/such/folder/m.tif); rc=$?
echo "$out"
[ $rc -ne 0 ] && echo "$out" | grep -q "could not write" && [ ! -e no ]
check "unwritable output refused" $?

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
