#!/usr/bin/env bash
# The DLL's export table must be exactly the host's seventeen names, its
# module name KelvraDLL, and it may import only Windows system DLLs.
set -eu
dll="$1"; expected="$2"
dump=$(i686-w64-mingw32-objdump -p "$dll")
fail=0
echo "$dump" | grep -q 'file format pei-i386' || { echo "not a PE32 i386 image"; fail=1; }
echo "$dump" | grep -q '^Name .*KelvraDLL' || echo "$dump" | grep -q 'KelvraDLL.dll' || { echo "module name missing"; fail=1; }
got=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | sed -E 's/^\s+\[\s*[0-9]+\] //' | sort)
want=$(sort "$expected")
if [ "$got" != "$want" ]; then
  echo "export table differs:"; diff <(echo "$want") <(echo "$got") || true; fail=1
fi
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dllname in $imports; do
  case "$dllname" in
    kernel32.dll|user32.dll|shell32.dll|msvcrt.dll) ;;
    *) echo "unexpected import: $dllname"; fail=1 ;;
  esac
done
# Decorations checked against an MSVC-targeting compiler when one is present.
if command -v clang++ >/dev/null && command -v llvm-nm >/dev/null; then
  tmp=$(mktemp -d)
  names=$(grep -o '^?[A-Za-z0-9_]*' "$expected" | tr -d '?')
  for n in $names; do
    echo "float $n(char*, double, char*, int, char*, int, char**) { return 0; }"
  done >"$tmp/x.cpp"
  if clang++ --target=i686-pc-windows-msvc -c "$tmp/x.cpp" -o "$tmp/x.obj" 2>/dev/null; then
    msvc=$(llvm-nm "$tmp/x.obj" | awk '$2=="T"{print $3}' | sort)
    mine=$(grep '^?' "$expected" | sort)
    [ "$msvc" = "$mine" ] || { echo "decorations differ from MSVC's:"; diff <(echo "$msvc") <(echo "$mine"); fail=1; }
  fi
  rm -rf "$tmp"
fi
echo "exports: $(echo "$got" | wc -l), imports: $(echo $imports)"
exit $fail
