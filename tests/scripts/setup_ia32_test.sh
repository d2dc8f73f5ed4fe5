#!/usr/bin/env bash
# scripts/setup-ia32.sh both ways: on this machine's kernel, and against a
# stand-in kernel that refuses i386 programs until a working binfmt_misc
# entry for them exists. The stand-in's binfmt_misc is a folder, and id,
# mount, apt-get and the emulator are stubs first in PATH, so nothing here
# touches the machine's binfmt_misc or packages.
#   setup_ia32_test.sh SOURCE_DIR
set -u
src=${1:?source folder}
t=$(mktemp -d /tmp/kelvra-ia32-test-XXXXXX)
trap 'rm -rf "$t"' EXIT
mkdir -p "$t/bin"
stub() { printf '#!/bin/bash\n%s\n' "$2" >"$t/bin/$1"; chmod +x "$t/bin/$1"; }
stub id '[ "$1" = -u ] && cat "$T/uid" || exec /usr/bin/id "$@"'
stub mount 'echo "mount $*" >>"$T/calls"; [ -f "$T/mount-fails" ] && { echo "mount: permission denied" >&2; exit 32; }
touch "$KELVRA_BINFMT_DIR/register"'
stub apt-get 'echo "apt-get $*" >>"$T/calls"; [ "$1" = install ] && echo 10.0.2 >"$T/qemu-i386.version"; exit 0'
for q in qemu-i386 qemu-i386-static; do
  stub $q "[ -f \"\$T/$q.version\" ] || exit 127; echo \"$q version \$(cat \"\$T/$q.version\") (stub)\""
done
# The stand-in kernel: an i386 program runs only through a registered entry
# for i386 ELF programs with flag F whose emulator works (file "works").
stub kernel 'line=$(grep -a "^:qemu-i386:M::" "$KELVRA_BINFMT_DIR/register" 2>/dev/null | tail -1)
if [ -n "$line" ] && [ -f "$T/works" ] && [ "${line##*:}" = F ]; then
  echo "emulated $(echo "$line" | cut -d: -f7)"; exit 0; fi
echo "$1: cannot execute binary file: Exec format error" >&2; exit 126'

failures=0
lacks() { ! grep -q "$1" "$2"; }
check() {  # what condition...
  local what=$1; shift
  "$@" || { echo "FAIL [$name] $what"; failures=$((failures + 1)); }
}
# One machine a row: uid, whether binfmt_misc is mounted, the versions of
# qemu-i386 and qemu-i386-static (none: not installed), which of them is
# registered already, whether mount fails, whether a registered emulator
# works; then the exit status, which emulator ends up registered and a
# pattern of the last line. "host" runs the check on this machine's kernel.
while IFS='|' read -r name uid mounted qemu static before mountfails works rc reg said; do
  [ -z "$name" ] || [[ $name == \#* ]] && continue
  name=${name%"${name##*[! ]}"}
  for v in uid mounted qemu static before mountfails works rc reg; do printf -v "$v" '%s' "${!v// /}"; done
  rm -rf "$t/binfmt" "$t/sources" "$t/calls" "$t"/*.version "$t/works" "$t/mount-fails"
  mkdir -p "$t/binfmt" "$t/sources"; touch "$t/calls"
  echo "$uid" >"$t/uid"
  [ "$mounted" = yes ] && touch "$t/binfmt/register"
  [ "$before" = none ] || echo ":qemu-i386:M::x:x:$t/bin/$before:F" >"$t/binfmt/register"
  [ "$qemu" = none ] || echo "$qemu" >"$t/qemu-i386.version"
  [ "$static" = none ] || echo "$static" >"$t/qemu-i386-static.version"
  [ "$mountfails" = yes ] && touch "$t/mount-fails"
  [ "$works" = yes ] && touch "$t/works"
  runner=$t/bin/kernel; [ "$name" = host ] && runner=
  out=$(T=$t PATH="$t/bin:$PATH" KELVRA_IA32_RUN=$runner KELVRA_BINFMT_DIR=$t/binfmt \
        KELVRA_APT_SOURCES=$t/sources KELVRA_APT_RETRY_SECONDS=0 bash "$src/scripts/setup-ia32.sh" 2>&1)
  got=$?
  last=$(printf '%s\n' "$out" | tail -1)
  check "exit status $got, wanted $rc: $out" [ "$got" = "$rc" ]
  check "last line '$last' does not match '$said'" grep -Eq "$said" <<<"$last"
  registered=$(grep -a '^:qemu-i386:' "$t/binfmt/register" 2>/dev/null | cut -d: -f7,8)
  if [ "$reg" = none ]; then
    check "registered although it should not: $registered" [ -z "$registered" ]
  else
    check "registered '$registered', wanted $reg with flag F" [ "$registered" = "$t/bin/$reg:F" ]
  fi
  installs=yes
  for v in "$qemu" "$static"; do [ "$v" != none ] && [ "${v%%.*}" -ge 10 ] && installs=no; done
  [ "$uid" = 0 ] && [ "$name" != host ] || installs=no
  if [ "$installs" = yes ]; then
    check "no install from bookworm-backports: $(cat "$t/calls")" grep -q 'install .*qemu-user/bookworm-backports' "$t/calls"
    check "no bookworm-backports source" grep -q 'bookworm-backports main' "$t/sources/kelvra-bookworm-backports.list"
  else
    check "apt-get called: $(cat "$t/calls")" lacks apt-get "$t/calls"
  fi
  if [ "$mounted" = no ] && [ "$uid" = 0 ] && [ "$name" != host ]; then
    check "binfmt_misc not mounted" grep -q "mount -t binfmt_misc binfmt_misc $t/binfmt" "$t/calls"
  fi
done <<'ROWS'
# name               |uid |mounted|qemu  |static|before          |mountfails|works|rc|reg      |last line
host                 |0   |yes    |10.0.2|none  |none            |no        |yes  |0 |none     |^$
emulator ready       |0   |yes    |10.0.2|none  |none            |no        |yes  |0 |qemu-i386|does not run 32-bit x86 programs \(Exec format error\): registered .* now run emulated
binfmt not mounted   |0   |no     |10.0.2|none  |none            |no        |yes  |0 |qemu-i386|: mounted binfmt_misc, registered
old emulator         |0   |yes    |none  |7.2.0 |none            |no        |yes  |0 |qemu-i386|: added the bookworm-backports source .*, installed qemu-user 10.0.2 from bookworm-backports, registered
old one registered   |0   |yes    |none  |7.2.0 |qemu-i386-static|no        |yes  |0 |qemu-i386|only under .*qemu-i386-static \(version 7\), which cannot run Wine: added .*installed qemu-user 10.0.2
newer one registered |0   |yes    |none  |10.1.0|qemu-i386-static|no        |yes  |0 |qemu-i386-static|^$
no emulator, no mount|0   |no     |none  |none  |none            |no        |yes  |0 |qemu-i386|: added the bookworm-backports source .*installed qemu-user 10.0.2.*mounted binfmt_misc, registered
not root             |1000|yes    |10.0.2|none  |none            |no        |yes  |1 |none     |does not run 32-bit x86 programs \(Exec format error\); .*needs root
no binfmt_misc       |0   |no     |10.0.2|none  |none            |yes       |yes  |1 |none     |binfmt_misc.*cannot be mounted .*permission denied
emulator fails       |0   |yes    |10.0.2|none  |none            |no        |no   |1 |qemu-i386|registered i386 ELF programs .*but the check still fails: .*Exec format error
ROWS

# --query answers without changing anything.
name=query
out=$(T=$t PATH="$t/bin:$PATH" KELVRA_IA32_RUN=$t/bin/kernel KELVRA_BINFMT_DIR=$t/nowhere \
      bash "$src/scripts/setup-ia32.sh" --query 2>&1)
check "refused --query: $out" [ "$out" = "none: 32-bit x86 programs do not run here (Exec format error)" ]
out=$(bash "$src/scripts/setup-ia32.sh" --query 2>&1)
check "host --query: $out" grep -Eq '^(native|emulated /.*)$' <<<"$out"

# The registered magic and mask take this machine's i386 programs and no
# x86-64 program.
name=magic
printf 'int main(void){return 0;}\n' >"$t/m.c"
gcc -m32 -static "$t/m.c" -o "$t/i386-static" && gcc -m32 -pie -fPIE "$t/m.c" -o "$t/i386-pie" &&
  gcc -m64 "$t/m.c" -o "$t/x86-64" || { echo "FAIL cannot build the magic's samples"; exit 1; }
magic=$(sed -n "s/^magic='\(.*\)'$/\1/p" "$src/scripts/setup-ia32.sh")
mask=$(sed -n "s/^mask='\(.*\)'$/\1/p" "$src/scripts/setup-ia32.sh")
for f in i386-static:1 i386-pie:1 x86-64:0; do
  python3 - "$t/${f%:*}" "$magic" "$mask" "${f#*:}" <<'PY' || { echo "FAIL [$name] ${f%:*}"; failures=$((failures + 1)); }
import sys
head = open(sys.argv[1], 'rb').read(20)
magic, mask = (bytes(s.encode().decode('unicode_escape'), 'latin-1') for s in sys.argv[2:4])
matches = len(magic) == len(mask) == 20 and all(h & m == g & m for h, g, m in zip(head, magic, mask))
sys.exit(0 if matches == (sys.argv[4] == '1') else 1)
PY
done

echo "setup-ia32 check: $failures failures"
[ $failures -eq 0 ]
