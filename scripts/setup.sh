#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, skipping what is
# there already.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev python3 python3-pefile
          g++-mingw-w64-i686 wine wine32:i386 xvfb xauth xdotool)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
