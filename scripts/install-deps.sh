#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine (as root) and makes sure it
# runs 32-bit x86 programs (setup-ia32.sh).
#   install-deps.sh                   everything the tests need
#   install-deps.sh --demo            only what the demo needs: CMake and a
#                                     compiler for 32-bit code (and stb)
#   install-deps.sh --demo --windows  the Windows demo: mingw-w64 and Wine
#   --align                           see "A missing i386 index" below
# The steps:
#   1. apt-get update, tried three times (deps-common.sh);
#   2. the compiler the 32-bit check needs, then the check itself, which sets
#      up an emulator where the kernel runs no 32-bit programs (before any
#      i386 package, whose maintainer scripts may run i386 programs);
#   3. every other missing package, amd64 and i386, in one apt transaction;
#   4. the npm packages of the independent document readers.
# At the end every package is checked again: the exit status is 0 only when
# everything is installed, and what is not is named.
#
# A missing i386 index. A mirror in the middle of a sync may serve an
# archive's amd64 index but not its i386 one (seen for bookworm-security for
# hours at a time). Multi-Arch: same packages must then have one version on
# both architectures, and only the other archives offer that version for
# i386. Packages whose amd64 half is installed at another version (a "twin"),
# and the installed packages built from the same source at the same version
# (libexpat1-dev beside libexpat1), are then moved to the version both
# architectures have, in the same transaction as the i386 packages. This is
# a downgrade, so it is done by itself only under CI (CI=true) or with
# --align; otherwise the one command that does it is printed. While the
# index is missing, every transaction takes the amd64 packages of the twins'
# sources from the other archives (a preferences file), so a package pulled
# in later (a -dev package) comes at the twins' version and moves neither;
# and no transaction ever removes a package.
set -u
cd "$(dirname "$0")/.." || exit 1
. scripts/deps-common.sh

demo=no windows=no align=no
[ "${CI:-}" = true ] && align=yes
for a in "$@"; do
  case $a in
    --demo) demo=yes ;;
    --windows) windows=yes ;;
    --align) align=yes ;;
    *) echo "usage: install-deps.sh [--demo [--windows]] [--align]"; exit 2 ;;
  esac
done

# The 32-bit check needs gcc -m32 (g++-multilib); the demo needs CMake, that
# compiler and stb's headers; the Windows build mingw-w64 and Wine, whose
# 32-bit half (wine32:i386) is the only i386 package: every other program
# that must run as 32-bit code links nothing but the C and C++ runtime, and
# the test helpers that read files the library wrote are 64-bit programs.
first_pkgs=(g++-multilib)
host_pkgs=(cmake libstb-dev)
i386_pkgs=()
if [ $demo = no ] || [ $windows = yes ]; then
  host_pkgs+=(g++-mingw-w64-i686 wine)
  i386_pkgs+=(wine32:i386)
fi
if [ $demo = no ]; then
  host_pkgs+=(libgtest-dev libtiff-dev libpng-dev libtiff-tools python3-pil libjpeg-turbo-progs
              imagemagick clang llvm gimp python3-psd-tools gegl krita python3-pyqt5)
fi
export DEBIAN_FRONTEND=noninteractive
missing() { local p; for p in "$@"; do have "$p" || echo "$p"; done; }
apt_log=$(mktemp /tmp/kelvra-apt-XXXXXX.log)
apt_opts=()
trap 'rm -f "$apt_log"' EXIT

mapfile -t need_first < <(missing "${first_pkgs[@]}")
mapfile -t need_host < <(missing "${host_pkgs[@]}")
if [ $demo = no ]; then
  # Node.js may come from another packaging that already carries npm.
  command -v node >/dev/null || need_host+=(nodejs)
  command -v npm >/dev/null || need_host+=(npm)
fi
mapfile -t need_i386 < <(missing "${i386_pkgs[@]}")
suites=
if [ $((${#need_first[@]} + ${#need_host[@]} + ${#need_i386[@]})) -gt 0 ]; then
  echo "installing: $(echo "${need_first[@]}" "${need_host[@]}" "${need_i386[@]}")"
  if [ "$(id -u)" != 0 ]; then
    echo "installing packages needs root: run 'sudo bash scripts/install-deps.sh $*'"
    exit 1
  fi
  if [ ${#need_i386[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update_retrying || exit 1
  # The archives whose i386 index did not download.
  suites=$(sed -n 's|.*/dists/\([^/]*\)/.*/binary-i386/.*|\1|p' <<<"$APT_FAILED_INDEXES" | sort -u)
  [ -n "$suites" ] && echo "the i386 index of $(echo $suites) is missing: packages installed for both" \
    "architectures take the versions of the archives that carry both"
fi
# One transaction, its log in $apt_log. It never removes a package: a
# resolution that would (a twin moved away from its i386 half) fails instead.
apt_install() {  # packages...
  apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends --no-remove --allow-downgrades "$@" \
    >"$apt_log" 2>&1
}
if [ ${#need_first[@]} -gt 0 ]; then
  apt_install "${need_first[@]}" || { echo "installing ${need_first[*]} failed:"; tail -15 "$apt_log"; }
fi
ia32_ok=yes
if [ -n "${KELVRA_SETUP_IA32+set}" ]; then  # test seam: the check's stand-in
  eval "$KELVRA_SETUP_IA32" || ia32_ok=no
else
  bash scripts/setup-ia32.sh || ia32_ok=no
fi
# Without 32-bit programs no i386 package can be configured.
[ $ia32_ok = no ] && need_i386=()

# The versions of PACKAGE:ARCH that apt knows, one a line.
versions_of() { apt-cache policy "$1" 2>/dev/null | sed -n 's/^ \(\*\*\*\|   \) \([^ ]*\) -\{0,1\}[0-9]*$/\2/p'; }
# "NAME ARCH VERSION SOURCE MULTI-ARCH" of every installed package.
installed_table() {
  dpkg-query -W -f='${db:Status-Status} ${Package} ${Architecture} ${Version} ${source:Package} ${Multi-Arch}\n' |
    awk '$1 == "installed" { print $2, $3, $4, $5, $6 }'
}
# The plan for the Multi-Arch: same packages whose i386 half is installed or
# will be ("twins"), one line each:
#   pin SOURCE             the twin's amd64 candidate is not its i386 version:
#                          amd64 packages of that source are not taken from
#                          the archives whose i386 index is missing
#   move NAME:amd64=V      installed at a later version than the i386 half has:
#                          moved to V with the other installed packages of its
#                          source at its version (libexpat1-dev beside libexpat1)
#   stuck NAME AMD64 I386  such a package that no archive offers at V for amd64
twin_plan() {  # i386 packages to install...
  local table twins
  table=$(installed_table)
  twins=$( {
      awk '$2 == "i386" && $5 == "same" { print $1 }' <<<"$table"
      [ $# -gt 0 ] && apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null | sed -n 's/^\([a-z0-9][^ <>]*\):i386$/\1/p'
    } | sort -u | join - <(awk '$2 == "amd64" && $5 == "same" { print $1 }' <<<"$table" | sort -u))
  [ -n "$twins" ] || return 0
  # One query for every twin: "NAME ARCH CANDIDATE".
  local cands
  # shellcheck disable=SC2046
  cands=$(apt-cache policy $(for n in $twins; do echo "$n:amd64 $n:i386"; done) 2>/dev/null | awk '
    /^[^ ].*:$/ { name = $1; sub(/:$/, "", name); arch = "amd64"
                  if (name ~ /:i386$/) { arch = "i386"; sub(/:i386$/, "", name) }
                  sub(/:amd64$/, "", name) }
    /^  Candidate:/ { print name, arch, $2 }')
  local name v32 v64 c64 src pkg arch ver
  for name in $twins; do
    read -r v64 src < <(awk -v n="$name" '$1 == n && $2 == "amd64" { print $3, $4 }' <<<"$table")
    v32=$(awk -v n="$name" '$1 == n && $2 == "i386" { print $3 }' <<<"$table")
    [ -n "$v32" ] || v32=$(awk -v n="$name" '$1 == n && $2 == "i386" { print $3 }' <<<"$cands")
    [ -n "$v32" ] && [ "$v32" != "(none)" ] || continue
    c64=$(awk -v n="$name" '$1 == n && $2 == "amd64" { print $3 }' <<<"$cands")
    [ "$c64" != "$v32" ] && echo "pin $src"
    [ "$v64" != "$v32" ] && dpkg --compare-versions "$v32" lt "$v64" || continue
    while read -r pkg arch ver; do
      if versions_of "$pkg:$arch" | grep -qxF "$v32"; then
        echo "move $pkg:$arch=$v32"
      else
        echo "stuck $pkg $ver $v32"
      fi
    done < <(awk -v s="$src" -v v="$v64" '$2 == "amd64" && $4 == s && $3 == v { print $1, $2, $3 }' <<<"$table")
  done | sort -u
}

todo=("${need_host[@]}" "${need_i386[@]}")
apt_opts=() moves=() stuck=
if [ ${#todo[@]} -gt 0 ]; then
  plan=$(twin_plan "${need_i386[@]}")
  stuck=$(sed -n 's/^stuck //p' <<<"$plan")
  mapfile -t moves < <(sed -n 's/^move //p' <<<"$plan")
  pins=$(sed -n 's/^pin //p' <<<"$plan")
  if [ -n "$suites" ] && [ -n "$pins" ]; then
    # Kept in the build folder: the printed command below names it.
    mkdir -p build
    prefs=$(pwd)/build/apt-i386-twins.pref
    for s in $suites; do
      printf 'Package: %s\nPin: release n=%s\nPin-Priority: -1\n\n' "$(echo $pins | sed 's/[^ ]*/src:&/g')" "$s"
    done >"$prefs"
    apt_opts=(-o Dir::Etc::Preferences="$prefs")
  fi
  todo+=("${moves[@]}")
fi
if [ -n "$stuck" ]; then
  echo "these amd64 packages are installed at versions that no i386 package here has, and no archive offers" \
       "them for amd64 at the i386 version (Multi-Arch: same packages need one version on both):"
  awk '{ printf "  %-28s amd64 installed %-24s i386 available %s\n", $1, $2, $3 }' <<<"$stuck"
fi
if [ ${#todo[@]} -gt 0 ]; then
  if [ ${#moves[@]} -gt 0 ] && [ $align = no ]; then
    echo "the i386 packages need these amd64 packages at the version both architectures have (a downgrade):"
    printf '  %s\n' "${moves[@]}"
    echo "to install everything in one step, run as root (or run this script again with --align):"
    echo "  apt-get ${apt_opts[*]} install -y --no-install-recommends --no-remove --allow-downgrades ${todo[*]}"
  elif ! apt_install "${todo[@]}"; then
    echo "installing the packages failed:"
    tail -15 "$apt_log"
  elif [ ${#moves[@]} -gt 0 ]; then
    echo "moved to the version both architectures have: ${moves[*]}"
  fi
fi

# npm packages for the independent document readers, kept inside the repo.
if [ $demo = no ] && [ -f tests/js/package.json ] && [ ! -d tests/js/node_modules ] &&
   command -v npm >/dev/null; then
  (cd tests/js && npm install --no-audit --no-fund --silent >"$apt_log" 2>&1) \
    || { echo "npm install in tests/js failed:"; tail -15 "$apt_log"; rm -rf tests/js/node_modules; }
fi

mapfile -t still < <(missing "${first_pkgs[@]}" "${host_pkgs[@]}" "${i386_pkgs[@]}")
if [ $demo = no ]; then
  command -v node >/dev/null || still+=(nodejs)
  command -v npm >/dev/null || still+=(npm)
  [ -f tests/js/package.json ] && [ ! -d tests/js/node_modules ] && still+=("tests/js/node_modules (npm)")
fi
if [ ${#still[@]} -gt 0 ]; then
  echo "not installed: ${still[*]}"
  exit 1
fi
[ $ia32_ok = yes ] || exit 1
exit 0
