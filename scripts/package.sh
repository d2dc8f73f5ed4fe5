#!/usr/bin/env bash
# Builds the Windows release and writes dist/KelvraDLL-<version>-win32.zip:
# KelvraDLL.dll, kelvra-host.exe, INSTALL.txt and SHA256SUMS. The version is
# the one in CMakeLists.txt. The archive is the same bytes for the same
# commit: the binaries carry no time stamps or build folders, and every entry
# gets the commit's time and fixed permissions, in a fixed order.
set -u
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# The release needs mingw-w64 and binutils only; a missing test tool does not stop it.
bash scripts/install-deps.sh || echo "some dependencies are missing (above); building the release with what is installed"
mkdir -p build dist
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >build/win.configure.log 2>&1 || { cat build/win.configure.log; exit 1; }
cmake --build build/win -j"$(nproc)" --target KelvraDLL kelvra-host >build/win.build.log 2>&1 \
  || { tail -40 build/win.build.log; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win/CMakeCache.txt)
[ -n "$version" ] || { echo "no project version in build/win/CMakeCache.txt"; exit 1; }
bash tests/winhost/check_exports.sh build/win/bin/KelvraDLL.dll plugin/exports.list || exit 1
# The commit's time stamps the entries; outside a checkout, a fixed date.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
zip="dist/KelvraDLL-$version-win32.zip"
/usr/bin/python3 - "$zip" "$version" "$epoch" <<'PY' || exit 1
import hashlib, sys, time, zipfile
out, version, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip dates start in 1980
files = {
    'KelvraDLL.dll': open('build/win/bin/KelvraDLL.dll', 'rb').read(),
    'kelvra-host.exe': open('build/win/bin/kelvra-host.exe', 'rb').read(),
    'INSTALL.txt': open('tools/release/INSTALL.txt').read()
        .replace('@VERSION@', version).replace('\n', '\r\n').encode(),
}
files['SHA256SUMS'] = ''.join('%s  %s\n' % (hashlib.sha256(files[n]).hexdigest(), n)
                              for n in sorted(files)).encode()
with zipfile.ZipFile(out + '.part', 'w', zipfile.ZIP_DEFLATED) as z:
    for name in ('KelvraDLL.dll', 'kelvra-host.exe', 'INSTALL.txt', 'SHA256SUMS'):
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 0
        info.external_attr = 0
        z.writestr(info, files[name], compresslevel=9)
PY
mv "$zip.part" "$zip"
echo "wrote $zip ($(stat -c %s "$zip") bytes)"
echo "sha256 $(sha256sum "$zip" | cut -d' ' -f1)"
/usr/bin/python3 -c "
import zipfile, sys
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print('  %-16s %9d bytes' % (i.filename, i.file_size))" "$zip"
