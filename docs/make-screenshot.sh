#!/usr/bin/env bash
# Makes docs/message-box.png: the real message box of a rejected command line
# (no command line at all), shown by the Windows program under Wine, in a
# Wine virtual desktop on a private Xvfb server (Wine then draws the title
# bar itself; no window manager is needed).
#
# Run from anywhere:  bash docs/make-screenshot.sh
# Needs the Windows build (built here when missing), wine, xvfb, xdotool and
# imagemagick; tests/conformance/run_wine.sh installs all but imagemagick.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
out="$repo/docs/message-box.png"

if ! command -v import >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq imagemagick >/dev/null
fi
[ -f build/win32/saverset.exe ] || { cmake --preset win32 >/dev/null && cmake --build build/win32 >/dev/null; }

work="$(mktemp -d /tmp/saverset-shot-XXXXXX)"
xvfb_pid=""
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

wineboot -i >/dev/null 2>&1
wineserver -w
cp build/win32/saverset.exe "$work/prefix/drive_c/saverset.exe"

wine explorer /desktop=saverset,360x160 'C:\saverset.exe' >/dev/null 2>&1 &
box=""
for _ in $(seq 1 300); do
  box="$(xdotool search --name '^No command line$' 2>/dev/null | head -1 || true)"
  [ -n "$box" ] && break
  sleep 0.1
done
[ -n "$box" ] || { echo "make-screenshot: no message box appeared" >&2; exit 1; }
sleep 1  # let Wine finish painting
desktop="$(xdotool search --name '^saverset - Wine desktop$' | head -1)"
import -window "$desktop" "$out"
echo "wrote $out"
