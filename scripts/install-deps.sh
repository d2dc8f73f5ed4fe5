#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian 12, root)
# and makes sure this machine runs 32-bit x86 programs (setup-ia32.sh).
#   1. the amd64 packages (compilers, tools, readers);
#   2. the 32-bit check, which sets up an emulator where the kernel cannot
#      run such programs (before any i386 package, whose maintainer scripts
#      may run i386 programs);
#   3. the i386 packages (Wine's 32-bit half, the 32-bit libtiff and libpng);
#   4. the npm packages of the independent document readers.
# A failed step does not stop the later ones (only a machine that cannot run
# 32-bit programs at all stops the run). At the end every package is checked
# again: the exit status is 0 only when everything is installed, and what is
# not is named, after the reason apt gave.
set -u
cd "$(dirname "$0")/.." || exit 1
. scripts/deps-common.sh
host_pkgs=(cmake g++ g++-multilib g++-mingw-w64-i686 libgtest-dev wine libtiff-tools
           python3-pil libjpeg-turbo-progs imagemagick clang llvm gimp python3-psd-tools
           gegl libstb-dev krita python3-pyqt5)
i386_pkgs=(wine32:i386 libtiff-dev:i386 libpng-dev:i386)
export DEBIAN_FRONTEND=noninteractive
missing() { local p; for p in "$@"; do have "$p" || echo "$p"; done; }

mapfile -t need_host < <(missing "${host_pkgs[@]}")
# Node.js may come from another packaging that already carries npm.
command -v node >/dev/null || need_host+=(nodejs)
command -v npm >/dev/null || need_host+=(npm)
mapfile -t need_i386 < <(missing "${i386_pkgs[@]}")
if [ $((${#need_host[@]} + ${#need_i386[@]})) -gt 0 ]; then
  echo "installing: $(echo "${need_host[@]}" "${need_i386[@]}")"
  if [ "$(id -u)" != 0 ]; then
    echo "installing packages needs root: run 'sudo bash scripts/install-deps.sh'"
    exit 1
  fi
  if [ ${#need_i386[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update_retrying
fi
if [ ${#need_host[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${need_host[@]}" >/tmp/kelvra-apt.log 2>&1 \
    || { echo "installing the amd64 packages failed:"; tail -15 /tmp/kelvra-apt.log; }
fi

bash scripts/setup-ia32.sh || exit 1

# Multi-Arch: same packages must have one version on both architectures.
# Prints "NAME AMD64-VERSION I386-CANDIDATE" for each amd64 package installed
# at a version that the i386 packages the install pulls in cannot match.
twins_apart() {  # apt options...
  local names
  names=$(apt-cache "$@" depends --recurse --no-recommends --no-suggests --no-conflicts \
            --no-breaks --no-replaces --no-enhances "${need_i386[@]}" 2>/dev/null |
          sed -n 's/^\([a-z0-9][^ <>]*\):i386$/\1/p' | sort -u |
          join - <(dpkg-query -W -f='${Package} ${Architecture} ${Multi-Arch}\n' |
                   awk '$2 == "amd64" && $3 == "same" { print $1 }' | sort -u))
  [ -n "$names" ] || return 0
  # shellcheck disable=SC2046
  apt-cache "$@" policy $(for n in $names; do echo "$n:amd64 $n:i386"; done) 2>/dev/null | awk '
    /^[^ ].*:$/ { name = $1; sub(/:$/, "", name); arch = "amd64"
                  if (name ~ /:i386$/) { arch = "i386"; sub(/:i386$/, "", name) }
                  sub(/:amd64$/, "", name) }
    /^  Installed:/ { inst[name, arch] = $2 }
    /^  Candidate:/ { cand[name, arch] = $2; if (arch == "i386") seen[name] = 1 }
    END { for (n in seen) if (inst[n, "amd64"] != "(none)" && inst[n, "amd64"] != "" &&
                              inst[n, "i386"] == "(none)" && cand[n, "i386"] != "(none)" &&
                              inst[n, "amd64"] != cand[n, "i386"])
            print n, inst[n, "amd64"], cand[n, "i386"] }' | sort
}

if [ ${#need_i386[@]} -gt 0 ]; then
  apt_opts=()
  # An archive whose i386 index did not download offers its amd64 versions
  # only; both architectures then take the versions of the archives that
  # have both (that archive pinned below every other for this install).
  suites=$(sed -n 's|.*/dists/\([^/]*\)/.*/binary-i386/.*|\1|p' <<<"$APT_FAILED_INDEXES" | sort -u)
  if [ -n "$suites" ]; then
    prefs=$(mktemp /tmp/kelvra-apt-prefs-XXXXXX)
    for s in $suites; do printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$s"; done >"$prefs"
    apt_opts=(-o Dir::Etc::Preferences="$prefs")
    echo "the i386 index of $(echo $suites) is missing: the i386 packages and their amd64 twins are taken at" \
         "the versions of the other archives"
  fi
  if ! apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${need_i386[@]}" \
      >/tmp/kelvra-apt.log 2>&1; then
    apart=$(twins_apart "${apt_opts[@]}")
    if [ -n "$apart" ]; then
      echo "the i386 packages cannot be installed: these amd64 packages are installed at versions that no" \
           "i386 package here has, and Multi-Arch: same packages need one version on both architectures:"
      awk '{ printf "  %-28s amd64 installed %-24s i386 available %s\n", $1, $2, $3 }' <<<"$apart"
      echo "to take the versions both architectures have (a downgrade of the amd64 packages above), run as root:"
      echo "  apt-get install --allow-downgrades $(awk '{ printf "%s%s=%s", (NR > 1 ? " " : ""), $1, $3 }' <<<"$apart")"
      echo "then this script again; or wait until the mirror carries the i386 index and run this script again"
    else
      echo "installing the i386 packages failed:"
      tail -15 /tmp/kelvra-apt.log
    fi
  fi
  [ -n "${prefs:-}" ] && rm -f "$prefs"
fi

# npm packages for the independent document readers, kept inside the repo.
if [ -f tests/js/package.json ] && [ ! -d tests/js/node_modules ] && command -v npm >/dev/null; then
  (cd tests/js && npm install --no-audit --no-fund --silent >/tmp/kelvra-npm.log 2>&1) \
    || { echo "npm install in tests/js failed:"; tail -15 /tmp/kelvra-npm.log; rm -rf tests/js/node_modules; }
fi

mapfile -t still < <(missing "${host_pkgs[@]}" "${i386_pkgs[@]}")
command -v node >/dev/null || still+=(nodejs)
command -v npm >/dev/null || still+=(npm)
[ -f tests/js/package.json ] && [ ! -d tests/js/node_modules ] && still+=("tests/js/node_modules (npm)")
if [ ${#still[@]} -gt 0 ]; then
  echo "not installed: ${still[*]}"
  exit 1
fi
exit 0
