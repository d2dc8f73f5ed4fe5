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

# edit: the prefix associates .psd with the stand-in editor, which paints
# the rectangle 2,1 3x2 in 200,30,60 and saves; the saved edit must come back
# into the image, with the original kept.
/usr/bin/python3 -c "
open('img.ppm','wb').write(b'P6\n8 6\n255\n' + bytes((x * 30 + y) % 256 for y in range(6) for x in range(8 * 3)))" || exit 1
cp img.ppm img.before.ppm
out=$(wine_run edit img.ppm --once --timeout 60); rc=$?
echo "$out"
/usr/bin/python3 - <<'PY'
import sys
def load(p):
    b = open(p, 'rb').read()
    assert b.startswith(b'P6\n8 6\n255\n'), p
    return b[len(b'P6\n8 6\n255\n'):]
now, before = load('img.ppm'), load('img.before.ppm')
for y in range(6):
    for x in range(8):
        i = (y * 8 + x) * 3
        want = bytes((200, 30, 60)) if 2 <= x < 5 and 1 <= y < 3 else before[i:i + 3]
        if now[i:i + 3] != want:
            sys.exit('pixel %d,%d is %s, not %s' % (x, y, list(now[i:i + 3]), list(want)))
PY
[ $rc -eq 0 ] && [ $? -eq 0 ] && echo "$out" | grep -q "merged 6 changed pixels" && cmp img.orig.ppm img.before.ppm
check "edit: the editor's save merged into img.ppm, original kept" $?

# demo: the Windows program's maps, preview and inputs equal the native ones.
"$native" demo -o demo-native --size 96 >demo-native.log 2>&1
rcn=$?
wine_run demo -o demo-win --size 96 >demo-win.log 2>&1
rcw=$?
cat demo-win.log
[ $rcn -eq 0 ] && [ $rcw -eq 0 ]
check "demo: both succeed" $?
for f in normal-opengl.tif normal-directx.tif displacement16.tif displacement-float.tif preview.psd; do
  cmp "demo-native/$f" "demo-win/$f"
  check "demo: $f the same bytes" $?
done
/usr/bin/python3 -c "
from PIL import Image
for a, b in (('heights.png', 'heights.pgm'), ('texture.png', 'texture.ppm'), ('shaded.png', 'shaded.ppm')):
    x, y = Image.open('demo-native/' + a), Image.open('demo-win/' + b)
    assert list(x.getdata()) == list(y.getdata()), a
"
check "demo: the same generated input (PNG natively, PGM/PPM on Windows)" $?
[ -s demo-win/editor.psd ]
check "demo: editor document written" $?
# The stand-in editor was started on editor.psd; let it finish.
for i in $(seq 1 30); do [ -e demo-win/editor.psd.opened ] && break; sleep 1; done

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
