#!/usr/bin/env bash
# Installs the Debian packages that the given groups need, only where missing.
# Groups: build (host build and tests), fuzz (clang's libFuzzer), bench
# (Google Benchmark and timing tools), windows (MinGW-w64, Wine, Xvfb),
# release (what scripts/release.sh and its check need: the i686 MinGW-w64
# toolchain, zip and unzip).
set -euo pipefail

declare -A groups=(
  [build]="cmake g++ libgtest-dev libgmock-dev python3"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev time hyperfine"
  [release]="cmake git g++-mingw-w64-i686 binutils-mingw-w64-i686 zip unzip"
  [windows]="g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb xdotool imagemagick x11-utils"
)

wanted=()
for group in "$@"; do
  for package in ${groups[$group]:?unknown package group $group}; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      wanted+=("$package")
    fi
  done
done
[ ${#wanted[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${wanted[*]} (run as root to install them)" >&2
  exit 1
fi
if printf '%s\n' "${wanted[@]}" | grep -q ':i386'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${wanted[@]}" >/dev/null
