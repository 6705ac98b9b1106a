#!/usr/bin/env bash
# Makes docs/message-box.png: the real message box of a rejected command line
# (no command line at all), shown by the Windows program under Wine, in a
# Wine virtual desktop on a private Xvfb server (Wine then draws the title
# bar itself; no window manager is needed). Wine's own fonts (fonts-wine)
# give the title bar's buttons their Marlett glyphs, as on Windows.
#
# Run from anywhere:  bash docs/make-screenshot.sh
# It takes the Wine path that scripts/wine-arch.sh chooses (SAVERSET_WINE_ARCH
# forces one): the shipped 32-bit program where the machine runs 32-bit
# programs, else the 64-bit test stand-in under wine64, whose message box is
# the same. It installs what it needs through scripts/install-packages.sh.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
out="$repo/docs/message-box.png"

. scripts/wine-arch.sh
if ! wine_arch_choose; then
  echo "make-screenshot: $wine_arch_reason" >&2
  exit 1
fi
wine_arch_tools
preset=$wine_preset loader=$wine_loader wineserver=$wine_server
echo "make-screenshot: path $wine_arch ($wine_arch_reason)" >&2
scripts/install-packages.sh windows
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j2 >/dev/null

work="$(mktemp -d /tmp/saverset-shot-XXXXXX)"
xvfb_pid=""
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "make-screenshot: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

"$loader" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
"$wineserver" -w
# Wine's own fonts where Windows keeps its fonts: this Wine does not load them
# from its data folder, and without Marlett the close button shows an "r".
cp /usr/share/wine/fonts/* "$work/prefix/drive_c/windows/Fonts/"
cp "build/$preset/saverset.exe" "$work/prefix/drive_c/saverset.exe"

"$loader" explorer /desktop=saverset,360x160 'C:\saverset.exe' >/dev/null 2>&1 &
box=""
for _ in $(seq 1 300); do
  box="$(xdotool search --name '^No command line$' 2>/dev/null | head -1 || true)"
  [ -n "$box" ] && break
  sleep 0.1
done
[ -n "$box" ] || { echo "make-screenshot: no message box appeared" >&2; exit 1; }
desktop="$(xdotool search --name '^saverset - Wine desktop$' | head -1)"
sleep 1 # let Wine finish painting
import -window "$desktop" "$out"
echo "wrote $out"
