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

native=$nativebin/kelvra-host
if [ ! -x "$native" ]; then
  echo "FAILED: no native kelvra-host at $native (build the native build first)"
  exit 1
fi

# The DLL loads by name, every export resolves, and the version its resource
# carries is the one the native program was built with.
out=$(wine_run --version); rc=$?
echo "$out"
version=$("$native" --version | sed -n 's/^kelvra-host \([0-9.]*\) .*/\1/p')
[ $rc -eq 0 ] && [ -n "$version" ] && \
  echo "$out" | grep -q "^KelvraDLL.dll $version: loaded, all 17 exports resolved" && \
  echo "$out" | grep -q "^kelvra-host $version (Windows build)"
check "library loads, 17 exports, version $version from its resource" $?

# A damaged PNG and a TIFF (no libtiff here) are refused with one line and a
# non-zero exit, and nothing is written.
printf '\x89PNG\r\n\x1a\n' >bad.png
out=$(wine_run render bad.png -o bad.tif); rc=$?
echo "$out"
[ $rc -ne 0 ] && echo "$out" | grep -q "bad.png: not a readable PNG" && [ ! -e bad.tif ]
check "damaged PNG refused" $?
printf 'II*\0\10\0\0\0\0\0' >h.tif
out=$(wine_run render h.tif -o h-out.tif); rc=$?
echo "$out"
[ $rc -ne 0 ] && echo "$out" | grep -q "h.tif: this kelvra-host was built without libtiff" && [ ! -e h-out.tif ]
check "TIFF heights refused on Windows" $?

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
# The same fields as PNG written by PIL, and as raw little-endian 16-bit.
from PIL import Image
im = Image.new('I;16', (301, 203))
im.putdata([field(x, y) for y in range(203) for x in range(301)])
im.save('h16.png')
im = Image.new('L', (37, 23))
im.putdata([(x * 7 + y * 11) % 256 for y in range(23) for x in range(37)])
im.save('h8.png')
open('h16.raw', 'wb').write(b''.join(struct.pack('<H', field(x, y))
                                     for y in range(203) for x in range(301)))
open('sq.r16', 'wb').write(b''.join(struct.pack('<H', (x * 911 + y * 313) % 65536)
                                    for y in range(64) for x in range(64)))
PY
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
compare h16.png --preset normal-opengl --mode 2
compare h8.png --preset normal-directx --mode 2 --smooth
compare h16.raw --raw 301x203 --preset displacement16
compare sq.r16 --preset normal-opengl --mode 3 --scale 0.5
# The PNG and raw inputs hold the PGMs' fields: their maps are the PGMs' maps.
"$native" render h16.pgm -o pgm-a.tif --preset normal-opengl --mode 2 >/dev/null 2>&1 &&
  "$native" render h8.pgm -o pgm-b.tif --preset normal-directx --mode 2 --smooth >/dev/null 2>&1 &&
  "$native" render h16.pgm -o pgm-c.tif --preset displacement16 >/dev/null 2>&1 &&
  cmp pgm-a.tif win10.tif && cmp pgm-b.tif win11.tif && cmp pgm-c.tif win12.tif
check "PNG and raw inputs give the PGMs' maps" $?

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
compare_preview h16.png --preset normal-directx --mode 2

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
pyrc=$?
[ $rc -eq 0 ] && [ $pyrc -eq 0 ] && echo "$out" | grep -q "merged 6 changed pixels" && cmp img.orig.ppm img.before.ppm
check "edit: the editor's save merged into img.ppm, original kept" $?

# A document the library cannot read is kept beside the new export (MoveFileA),
# and the note the DLL gives OutputDebugStringA is printed.
printf 'not a document' >img.kelvra.psd
out=$(wine_run edit img.ppm --once --timeout 60); rc=$?
echo "$out"
[ $rc -eq 0 ] && [ "$(cat img.kelvra.kept-1.psd)" = "not a document" ] && \
  echo "$out" | grep -q '^KelvraDLL: kept .*img.kelvra.psd as .*img.kelvra.kept-1.psd before writing a new export: the library cannot merge it: '
check "edit: an unreadable document kept as img.kelvra.kept-1.psd, and why" $?

# The same with an RGBA PNG: the colours come back, the transparency stays.
/usr/bin/python3 -c "
from PIL import Image
im = Image.new('RGBA', (8, 6))
im.putdata([((x * 30) % 256, (y * 40) % 256, 90, 40 + x + 10 * y) for y in range(6) for x in range(8)])
im.save('img.png')" || exit 1
cp img.png img.before.png
out=$(wine_run edit img.png --once --timeout 60); rc=$?
echo "$out"
/usr/bin/python3 - <<'PY'
import sys
from PIL import Image
now, before = Image.open('img.png'), Image.open('img.before.png')
if now.mode != 'RGBA': sys.exit('img.png is %s now' % now.mode)
for y in range(6):
    for x in range(8):
        a, b = now.getpixel((x, y)), before.getpixel((x, y))
        want = (200, 30, 60, b[3]) if 2 <= x < 5 and 1 <= y < 3 else b
        if a != want:
            sys.exit('pixel %d,%d is %s, not %s' % (x, y, a, want))
PY
pyrc=$?
[ $rc -eq 0 ] && [ $pyrc -eq 0 ] && echo "$out" | grep -q "merged 6 changed pixels" && cmp img.orig.png img.before.png
check "edit: an RGBA PNG merged, transparency kept, original kept" $?

# demo: the Windows program's maps, preview and inputs equal the native ones.
"$native" demo -o demo-native --size 96 >demo-native.log 2>&1
rcn=$?
wine_run demo -o demo-win --size 96 >demo-win.log 2>&1
rcw=$?
cat demo-win.log
[ $rcn -eq 0 ] && [ $rcw -eq 0 ]
check "demo: both succeed" $?
for f in heights.png texture.png shaded.png normal-opengl.tif normal-opengl.png \
         normal-directx.tif normal-directx.png displacement16.tif displacement16.png \
         displacement-float.tif displacement-float.png preview.psd preview.png; do
  cmp "demo-native/$f" "demo-win/$f"
  check "demo: $f the same bytes" $?
done
[ -s demo-win/editor.psd ]
check "demo: editor document written" $?
# The stand-in editor was started on editor.psd; let it finish.
for i in $(seq 1 30); do [ -e demo-win/editor.psd.opened ] && break; sleep 1; done

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
