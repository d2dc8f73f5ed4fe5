#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 (i386) programs: the native build,
# its tests, kelvra-host and Wine all are such programs.
#   setup-ia32.sh           check; where they do not run, set up an emulator
#   setup-ia32.sh --query   check only; prints "native", "emulated EMULATOR"
#                           or "none: WHY" (exit status 1)
# The check builds a tiny static i386 program and runs it; the program says
# whether it runs natively or under an emulator (see bench/emulation.h).
# Where the kernel refuses it (IA-32 emulation switched off: "Exec format
# error"), as root: qemu's user-mode emulator from bookworm-backports is
# installed (10.x; Debian 12's own 7.2 runs the native tests but not Wine, it
# ignores MAP_FIXED_NOREPLACE), binfmt_misc is mounted if needed, i386 ELF
# programs are registered with the emulator (flag F: the kernel opens the
# emulator once, at registration) and the check runs again. The registration
# lasts until the next boot; every run of the install step checks again.
# Test seams (tests/scripts/setup_ia32_test.sh): KELVRA_IA32_RUN runs the
# check's program in place of the kernel, KELVRA_BINFMT_DIR stands for
# /proc/sys/fs/binfmt_misc and KELVRA_APT_SOURCES for /etc/apt/sources.list.d.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deps-common.sh"
binfmt=${KELVRA_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
sources=${KELVRA_APT_SOURCES:-/etc/apt/sources.list.d}
qemu_major_needed=10

work=$(mktemp -d /tmp/kelvra-ia32-XXXXXX)
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.c" <<'EOF'
#include <stdio.h>
#include <string.h>
#include <unistd.h>
int main(void) {
  char self[4096], kernel[4096];
  ssize_t a = readlink("/proc/self/exe", self, sizeof self - 1);
  ssize_t b = readlink("/proc/./self/exe", kernel, sizeof kernel - 1);
  if (a < 0 || b < 0) { puts("native"); return 0; }
  self[a] = 0, kernel[b] = 0;
  if (strcmp(self, kernel) == 0) puts("native"); else printf("emulated %s\n", kernel);
  return 0;
}
EOF
if ! gcc -m32 -static -O1 "$work/probe.c" -o "$work/probe" >"$work/cc.log" 2>&1; then
  echo "cannot build the 32-bit check (gcc -m32 -static; g++-multilib installs it):"
  head -5 "$work/cc.log"
  exit 1
fi

emulator_major() { "$1" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\..*/\1/p'; }
probe_said=
old_emulator=
probe() {  # sets probe_said; true when the program ran, natively or under an emulator that runs Wine
  probe_said=$(${KELVRA_IA32_RUN:-} "$work/probe" 2>&1)
  local rc=$?
  probe_said=$(printf '%s' "$probe_said" | head -1)
  [ $rc -eq 0 ] && [[ $probe_said == native || $probe_said == emulated\ * ]] || return 1
  old_emulator=
  if [[ $probe_said == emulated\ * ]]; then
    local major; major=$(emulator_major "${probe_said#emulated }")
    # An emulator that does not tell its version is taken as it is.
    [ -n "$major" ] && [ "$major" -lt "$qemu_major_needed" ] && old_emulator="${probe_said#emulated } (version $major)"
  fi
  [ -z "$old_emulator" ]
}

if probe; then
  [ "${1:-}" = "--query" ] && echo "$probe_said"
  exit 0
fi
if [ -n "$old_emulator" ]; then
  [ "${1:-}" = "--query" ] && { echo "$probe_said"; exit 0; }  # runs, but Wine will not
  lacks="32-bit x86 programs run here only under $old_emulator, which cannot run Wine"
else
  why=${probe_said:-no output}
  why=${why##*: }  # "…/probe: cannot execute binary file: Exec format error"
  [ "${1:-}" = "--query" ] && { echo "none: 32-bit x86 programs do not run here ($why)"; exit 1; }
  lacks="this machine does not run 32-bit x86 programs ($why)"
fi
if [ "$(id -u)" != 0 ]; then
  echo "$lacks; setting up an emulator for them needs root: run 'sudo bash scripts/install-deps.sh'," \
       "or switch the kernel's IA-32 emulation on (kernels built with it off by default take the boot option ia32_emulation=1)"
  exit 1
fi

done_steps=()
# An emulator recent enough for Wine.
emulator=
for q in qemu-i386 qemu-i386-static; do
  path=$(command -v "$q") || continue
  major=$(emulator_major "$path")
  if [ -n "$major" ] && [ "$major" -ge "$qemu_major_needed" ]; then emulator=$path; break; fi
done
if [ -z "$emulator" ]; then
  list="$sources/kelvra-bookworm-backports.list"
  lists=("$sources"); [ -z "${KELVRA_APT_SOURCES:-}" ] && lists+=(/etc/apt/sources.list)
  if ! grep -rqs '^[^#]*bookworm-backports' "${lists[@]}"; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" >"$list" || exit 1
    done_steps+=("added the bookworm-backports source ($list)")
  fi
  apt_update_retrying || exit 1
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -qq --no-install-recommends qemu-user/bookworm-backports \
      >"$work/apt.log" 2>&1; then
    echo "$lacks, and installing qemu-user from bookworm-backports failed:"
    tail -15 "$work/apt.log"
    exit 1
  fi
  emulator=$(command -v qemu-i386) || { echo "$lacks; qemu-user was installed but has no qemu-i386"; exit 1; }
  done_steps+=("installed $("$emulator" --version | sed -n '1s/.* version \([^ ]*\).*/qemu-user \1/p') from bookworm-backports")
fi
if [ ! -e "$binfmt/register" ]; then
  if ! mount -t binfmt_misc binfmt_misc "$binfmt" >"$work/mount.log" 2>&1 || [ ! -e "$binfmt/register" ]; then
    echo "$lacks, and binfmt_misc, through which an emulator would run them, cannot be mounted at $binfmt" \
         "($(head -1 "$work/mount.log")): the kernel needs CONFIG_BINFMT_MISC (a container gets it from its host)," \
         "or switch the kernel's IA-32 emulation on (boot option ia32_emulation=1)"
    exit 1
  fi
  done_steps+=("mounted binfmt_misc")
fi
# The magic and mask of qemu's own i386 entry: 32-bit little-endian ELF,
# executable or shared object, machine 3 (Intel 80386).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
[ -e "$binfmt/qemu-i386" ] && echo -1 >"$binfmt/qemu-i386"  # an entry that did not work
if ! echo ":qemu-i386:M::$magic:$mask:$emulator:F" >"$binfmt/register"; then
  echo "$lacks, and registering i386 ELF programs with $emulator in $binfmt failed"
  exit 1
fi
done_steps+=("registered i386 ELF programs with $emulator (binfmt_misc entry qemu-i386, flag F)")
if ! probe; then
  steps=$(printf '%s, ' "${done_steps[@]}")
  echo "$lacks; ${steps%, }; but the check still fails: ${old_emulator:+still under }${old_emulator:-${probe_said:-no output}}"
  exit 1
fi
steps=$(printf '%s, ' "${done_steps[@]}")
echo "$lacks: ${steps%, }; they now run emulated (slowly)"
exit 0
