#!/usr/bin/env bash
# The Windows program under Wine: installs the cross toolchain and Wine when
# they are missing, builds the win32 preset (and the host program, whose
# registry file the interop check imports), sets up one fresh Wine prefix,
# runs the scenario table and the interop check under Xvfb, and exits non-zero
# on any mismatch. The closing line is "N passed, M failed".
#
# Run from anywhere:  bash tests/conformance/run_wine.sh
# SAVERSET_KEEP_PREFIX=1 keeps the prefix (its path is printed) for a look.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"

log() { printf 'run_wine: %s\n' "$*" >&2; }

# --- Packages ------------------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
command -v i686-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-i686)
command -v i686-w64-mingw32-windres >/dev/null || missing+=(binutils-mingw-w64-i686)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v python3 >/dev/null || missing+=(python3)
command -v file >/dev/null || missing+=(file)
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v xdotool >/dev/null || missing+=(xdotool)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v wine >/dev/null || missing+=(wine)
need_wine32=0
if [ "$(dpkg --print-architecture 2>/dev/null || echo none)" = amd64 ] &&
  ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need_wine32=1
fi
if [ "${#missing[@]}" -gt 0 ] || [ "$need_wine32" -eq 1 ]; then
  log "installing: ${missing[*]} $([ "$need_wine32" -eq 1 ] && echo wine32:i386)"
  if [ "$need_wine32" -eq 1 ]; then
    # The program is 32-bit: Wine runs it with its 32-bit half, wine32:i386.
    dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    missing+=(wine32:i386)
  fi
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- Build ---------------------------------------------------------------------

log "building the win32 preset"
cmake --preset win32 >/dev/null
cmake --build build/win32 -j2 >/dev/null
log "building the host program for the interop check"
[ -f build/host/CMakeCache.txt ] || cmake --preset host >/dev/null
cmake --build build/host -j2 --target saverset >/dev/null

# --- X server and prefix -------------------------------------------------------

work="$(mktemp -d /tmp/saverset-wine-XXXXXX)"
xvfb_pid=""
export WINEPREFIX="$work/prefix"
# A 32-bit prefix: the program is 32-bit, and this Wine has its 32-bit half.
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko: the prefix set-up would otherwise offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ "${SAVERSET_KEEP_PREFIX:-0}" = 1 ]; then
    log "prefix kept: $WINEPREFIX"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { log "Xvfb did not start"; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

log "setting up the Wine prefix"
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
wineserver -w
# One wine server for the whole run: each wine command then starts in a
# fraction of a second.
wineserver -p

# --- The run -------------------------------------------------------------------

log "running the scenario table under Wine"
python3 tests/conformance/run_scenarios.py --platform wine \
  --program build/win32/saverset.exe \
  --launcher build/win32/saverset_launch.exe \
  --prefix "$WINEPREFIX" \
  --interop-host-program build/host/saverset
