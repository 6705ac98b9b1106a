#!/usr/bin/env bash
# Installs the Debian packages that the given groups need, only where missing.
# Groups: build (host build and tests), fuzz (clang's libFuzzer), bench
# (Google Benchmark and timing tools), windows (MinGW-w64, Xvfb, and the Wine
# of the path that scripts/wine-arch.sh chooses: wine32:i386 only where the
# machine runs 32-bit programs, else the x86-64 cross compiler and wine64),
# release (what scripts/release.sh and its check need: the i686 MinGW-w64
# toolchain, zip and unzip). Uses sudo when not run as root.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

declare -A groups=(
  [build]="cmake g++ libgtest-dev libgmock-dev python3"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev time hyperfine"
  [release]="cmake git g++-mingw-w64-i686 binutils-mingw-w64-i686 zip unzip"
  # The shipped program is built and its file checked on both paths;
  # googletest holds the GoogleTest sources the contract tests are built with.
  [windows]="g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest file xvfb xdotool imagemagick x11-utils fonts-wine"
  [wine-x86]="wine wine32:i386"
  [wine-x64]="g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64"
)

chosen=()
for group in "$@"; do
  [ -n "${groups[$group]:-}" ] || { echo "install-packages: unknown package group $group" >&2; exit 1; }
  chosen+=("$group")
  if [ "$group" = windows ]; then
    . "$here/wine-arch.sh"
    if ! wine_arch_choose; then
      echo "install-packages: $wine_arch_reason" >&2
      exit 1
    fi
    chosen+=("wine-$wine_arch")
  fi
done

wanted=()
for group in "${chosen[@]}"; do
  for package in ${groups[$group]}; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      wanted+=("$package")
    fi
  done
done
[ ${#wanted[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "missing packages: ${wanted[*]} (run as root to install them)" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "install-packages: installing ${wanted[*]}" >&2
if printf '%s\n' "${wanted[@]}" | grep -q ':i386'; then
  dpkg --print-foreign-architectures | grep -qx i386 || "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${wanted[@]}" >/dev/null
