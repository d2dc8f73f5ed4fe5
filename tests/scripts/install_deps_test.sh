#!/usr/bin/env bash
# scripts/install-deps.sh --demo --windows against stand-in apt states: apt-get,
# apt-cache, dpkg and dpkg-query are stubs first in PATH over a small package
# world (fake_apt.py), so nothing here touches the machine's packages.
# The world: the packages of the Windows demo, Wine's libraries as
# Multi-Arch: same twins (libexpat1 with its -dev package, both from source
# expat), bookworm and bookworm-security, which carries later versions.
#   install_deps_test.sh SOURCE_DIR
set -u
src=${1:?source folder}
here=$(cd "$(dirname "$0")" && pwd)
t=$(mktemp -d /tmp/kelvra-install-test-XXXXXX)
trap 'rm -rf "$t"' EXIT
mkdir -p "$t/bin" "$t/repo"
cp -r "$src/scripts" "$t/repo/"
for tool in apt-get apt-cache dpkg dpkg-query; do
  printf '#!/bin/sh\nexec python3 %s "$T/state.json" %s "$@"\n' "$here/fake_apt.py" "$tool" >"$t/bin/$tool"
done
printf '#!/bin/sh\n[ "$1" = -u ] && exec cat "$T/uid"\nexec /usr/bin/id "$@"\n' >"$t/bin/id"
chmod +x "$t/bin"/*

# world UID MISSING_I386 INSTALLED...: INSTALLED as NAME:ARCH@SUITE; "stb-pulls-dev"
# makes libstb-dev depend on libexpat1-dev (an amd64 package that pulls a -dev twin in).
world() {
  echo "$1" >"$t/uid"
  python3 - "$t/state.json" "$@" <<'EOF'
import json, sys
path, uid, missing, installed = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
B, S = "bookworm", "bookworm-security"
old, new = "2.5.0-1+deb12u2", "2.5.0-1+deb12u5"
archive = []
def add(name, archs, version, suite, source=None, same=False, depends=()):
    for arch in archs:
        archive.append(dict(name=name, arch=arch, version=version, suite=suite, source=source or name,
                            multiarch="same" if same else "no", depends=[list(d) for d in depends]))
for name in ("g++-multilib", "cmake", "g++-mingw-w64-i686"):
    add(name, ["amd64"], "1.0", B)
stb_deps = [("libexpat1-dev",)] if "stb-pulls-dev" in installed else []
add("libstb-dev", ["amd64"], "1.0", B, depends=stb_deps)
add("wine", ["amd64"], "8.0", B, depends=[("libwine",)])
add("wine32", ["i386"], "8.0", B, depends=[("libwine",)])
add("libwine", ["amd64", "i386"], "8.0", B, "wine", True, [("libexpat1",)])
for version, suite in ((old, B), (new, S)):
    add("libexpat1", ["amd64", "i386"], version, suite, "expat", True)
    add("libexpat1-dev", ["amd64", "i386"], version, suite, "expat", True, [("libexpat1", "=", version)])
inst = []
for entry in installed:
    if entry == "stb-pulls-dev":
        continue
    na, suite = entry.split("@")
    name, arch = na.split(":")
    suite = {"B": B, "S": S}[suite]
    inst += [dict(p) for p in archive if p["name"] == name and p["arch"] == arch and p["suite"] == suite]
json.dump(dict(uid=int(uid), foreign=[], missing_i386=[] if missing == "none" else [S],
               archive=archive, installed=inst), open(path, "w"), indent=1)
EOF
}
# NAME:ARCH=VERSION of every installed package, one a line.
state() {
  python3 -c 'import json,sys
for p in sorted(json.load(open(sys.argv[1]))["installed"], key=lambda p: (p["name"], p["arch"])):
    print("%s:%s=%s" % (p["name"], p["arch"], p["version"]))' "$t/state.json"
}
run() {  # [env...]: the install step, its output in $out, its status in $got
  : >"$t/calls"
  out=$(cd "$t/repo" && env T="$t" PATH="$t/bin:$PATH" KELVRA_SETUP_IA32=true KELVRA_APT_RETRY_SECONDS=0 \
        CI= "$@" bash scripts/install-deps.sh --demo --windows 2>&1)
  got=$?
}
failures=0
check() {  # what condition...
  local what=$1; shift
  "$@" || { echo "FAIL [$name] $what"; echo "$out" | sed 's/^/    | /'; failures=$((failures + 1)); }
}
has() { grep -qE -- "$1" <<<"$2"; }
has_line() { grep -qxF -- "$1" <<<"$2"; }
# The install transactions, less the compiler the 32-bit check needs first.
installs() { grep -E '^apt-get .*install' "$t/calls" | grep -vE ' g\+\+-multilib$'; }

old=2.5.0-1+deb12u2 new=2.5.0-1+deb12u5
# One machine a row: uid; whether bookworm-security's i386 index is missing;
# the packages installed before (B bookworm, S bookworm-security); CI=true or
# not; the exit status; the version of libexpat1 on both architectures and of
# libexpat1-dev:amd64 afterwards (- not checked); a pattern of the output.
while IFS='|' read -r name uid missing before ci rc expat dev said; do
  [ -z "$name" ] || [[ $name == \#* ]] && continue
  name=${name%"${name##*[! ]}"}
  for v in uid missing ci rc expat dev; do printf -v "$v" '%s' "${!v// /}"; done
  said=${said# }; said=${said% }
  [ "$expat" = new ] && expat=$new; [ "$expat" = old ] && expat=$old
  [ "$dev" = new ] && dev=$new; [ "$dev" = old ] && dev=$old
  # shellcheck disable=SC2086
  world "$uid" "$missing" $before
  run CI="$ci"
  first=$out
  if [ "$name" = "by hand" ]; then
    # The printed command, run as printed; then the step again.
    cmd=$(grep -E '^  apt-get .* install ' <<<"$out" | sed 's/^  //')
    check "no command printed" [ -n "$cmd" ]
    [ "$got" = 1 ] || check "exit status $got before the command, wanted 1" false
    (cd "$t/repo" && env T="$t" PATH="$t/bin:$PATH" sh -c "$cmd" >"$t/cmd.log" 2>&1) \
      || check "the printed command failed: $(cat "$t/cmd.log")" false
    run CI="$ci"
  fi
  check "exit status $got, wanted $rc" [ "$got" = "$rc" ]
  check "output does not say '$said'" has "$said" "$first"
  s=$(state)
  if [ "$expat" != - ]; then
    check "libexpat1 not at $expat on both architectures" \
      [ "$(grep -cxF -e "libexpat1:amd64=$expat" -e "libexpat1:i386=$expat" <<<"$s")" = 2 ]
  fi
  [ "$dev" = - ] || check "libexpat1-dev:amd64 not at $dev" has_line "libexpat1-dev:amd64=$dev" "$s"
  check "more than one install transaction: $(installs)" [ "$(installs | wc -l)" -le 1 ]
  [ "$uid" = 0 ] || check "apt-get install called without root" [ -z "$(installs)" ]
  if [ "$rc" = 0 ]; then
    # A second run changes nothing.
    run CI="$ci"
    check "second run: exit status $got" [ "$got" = 0 ]
    check "second run installed: $(installs)" [ -z "$(installs)" ]
    check "second run changed the packages" [ "$(state)" = "$s" ]
    if [ "$name" = "twins apart, CI" ]; then
      # Later, with the index still missing, an amd64 package pulls the -dev
      # twin in: it comes at the twins' version and moves neither of them.
      python3 - "$t/state.json" <<'EOF'
import json, sys
w = json.load(open(sys.argv[1]))
w["installed"] = [p for p in w["installed"] if p["name"] not in ("libstb-dev", "libexpat1-dev")]
for p in w["archive"]:
    if p["name"] == "libstb-dev":
        p["depends"] = [["libexpat1-dev"]]
json.dump(w, open(sys.argv[1], "w"))
EOF
      run CI="$ci"
      check "later run: exit status $got" [ "$got" = 0 ]
      check "later run moved a twin: $(state)" has_line "libexpat1-dev:amd64=$old" "$(state)"
      check "later run: libexpat1:amd64 moved" has_line "libexpat1:amd64=$old" "$(state)"
    fi
  fi
done <<'ROWS'
# name             |uid |missing|before                                   |ci  |rc|expat|dev|output
index present      |0   |none   |libexpat1:amd64@B                        |    |0 |new  |-  |installing: g\+\+-multilib
twins apart, CI    |0   |yes    |libexpat1:amd64@S libexpat1-dev:amd64@S  |true|0 |old  |old|moved to the version both architectures have: .*libexpat1-dev:amd64=2.5.0-1\+deb12u2
by hand            |0   |yes    |libexpat1:amd64@S libexpat1-dev:amd64@S  |    |0 |old  |old|to install everything in one step, run as root
-dev twin pulled in|0   |yes    |libexpat1:amd64@S stb-pulls-dev          |true|0 |old  |old|the i386 index of bookworm-security is missing
no root            |1000|yes    |libexpat1:amd64@S                        |    |1 |-    |-  |installing packages needs root
ROWS
echo "install_deps_test: $failures failure(s)"
[ "$failures" = 0 ]
