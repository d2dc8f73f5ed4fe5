#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian 12, root).
set -eu
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
pkgs=(cmake g++ g++-multilib g++-mingw-w64-i686 libgtest-dev wine wine32:i386
      libtiff-tools libtiff-dev:i386 python3-pil libjpeg-turbo-progs imagemagick
      libpng-dev:i386 clang llvm gimp python3-psd-tools gegl libstb-dev krita python3-pyqt5)
for p in "${pkgs[@]}"; do have "$p" || need+=("$p"); done
# Node.js may come from another packaging that already carries npm.
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  dpkg --print-foreign-architectures | grep -q i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/tmp/kelvra-apt.log 2>&1 \
    || { tail -30 /tmp/kelvra-apt.log; exit 1; }
fi
# npm packages for the independent document readers, kept inside the repo.
if [ -f tests/js/package.json ] && [ ! -d tests/js/node_modules ]; then
  (cd tests/js && npm install --no-audit --no-fund --silent >/tmp/kelvra-npm.log 2>&1) \
    || { tail -30 /tmp/kelvra-npm.log; exit 1; }
fi
exit 0
