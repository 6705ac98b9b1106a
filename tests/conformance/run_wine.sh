#!/usr/bin/env bash
# The Windows program under Wine: chooses the path this machine can run
# (scripts/wine-arch.sh), installs what is missing for it
# (scripts/install-packages.sh), builds the Windows program (and the host
# program, whose registry file the interop check imports), sets up one fresh
# Wine prefix, runs the contract tests (tests/contract/), then the
# program-file checks, the scenario table and the interop check under Xvfb,
# and exits non-zero on any mismatch. The closing line is "N passed, M
# failed" of the scenario table.
#
# The two paths:
#   x86  where the kernel runs 32-bit programs: the shipped 32-bit program
#        under Wine's 32-bit half, in a win32 prefix.
#   x64  elsewhere: the same sources built as a 64-bit test stand-in (preset
#        win64, never shipped) under wine64, in a win64 prefix; the shipped
#        32-bit program is built and its file checked, but it is not run.
#
# Run from anywhere:  bash tests/conformance/run_wine.sh [contract|scenarios]
# (one argument runs only the contract tests or only the scenario table).
# SAVERSET_WINE_ARCH=x86|x64 forces a path. SAVERSET_KEEP_PREFIX=1 keeps the
# prefix (its path is printed) for a look.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"

log() { printf 'run_wine: %s\n' "$*" >&2; }

runs=${1:-all}
case "$runs" in
  all | contract | scenarios) ;;
  *) log "unknown run '$runs': give contract, scenarios or nothing"; exit 2 ;;
esac

# --- The path ------------------------------------------------------------------

. scripts/wine-arch.sh
if ! wine_arch_choose; then
  log "$wine_arch_reason"
  exit 1
fi
wine_arch_tools
loader=$wine_loader
wineserver=$wine_server
build=build/$wine_preset
if [ "$wine_arch" = x86 ]; then
  log "path x86, the shipped 32-bit program under Wine's 32-bit half: $wine_arch_reason"
  presets=(win32)
  wineboot=(wineboot)
else
  log "path x64, the 64-bit test stand-in under wine64: $wine_arch_reason"
  log "the shipped 32-bit program is built and checked as a file, but not run on this path"
  presets=(win32 win64)
  wineboot=("$loader" wineboot)
fi

# --- Packages and build --------------------------------------------------------

scripts/install-packages.sh build windows

for preset in "${presets[@]}"; do
  log "building the $preset preset"
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2 >/dev/null
done
log "building the host program for the interop check"
[ -f build/host/CMakeCache.txt ] || cmake --preset host >/dev/null
cmake --build build/host -j2 --target saverset >/dev/null

# --- X server and prefix -------------------------------------------------------

work="$(mktemp -d /tmp/saverset-wine-XXXXXX)"
xvfb_pid=""
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko: the prefix set-up would otherwise offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
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
"${wineboot[@]}" -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
"$wineserver" -w
# One wine server for the whole run: each wine command then starts in a
# fraction of a second.
"$wineserver" -p

# Runs a Windows program (a path in the prefix or on the host) under the
# chosen loader, in the prefix of this run.
wine_run() {
  "$loader" "$@"
}

# --- The runs ------------------------------------------------------------------

# The contract tests, in this prefix: each test works in a key of its own
# below HKEY_CURRENT_USER\Software and a folder of its own in the temporary
# folder, and removes both. Their report is shown whole only when one fails
# (the cases that fault under Wine fill it with Wine's crash reports).
contract_status=0
if [ "$runs" != scenarios ]; then
  log "running the contract tests under Wine"
  wine_run "$build/tests/contract/saverset_contract_tests.exe" >"$work/contract.log" 2>&1 ||
    contract_status=$?
  if [ "$contract_status" -ne 0 ]; then
    cat "$work/contract.log" >&2
    log "the contract tests failed (exit code $contract_status)"
  else
    grep -E '^\[(==========|  PASSED  )\]' "$work/contract.log" >&2
  fi
fi
[ "$runs" != contract ] || exit "$contract_status"

log "running the scenario table under Wine"
stand_in=()
[ "$wine_arch" = x86 ] || stand_in=(--shipped-program build/win32/saverset.exe)
python3 tests/conformance/run_scenarios.py --platform wine \
  --program "$build/saverset.exe" \
  --launcher "$build/saverset_launch.exe" \
  --prefix "$WINEPREFIX" \
  --loader "$loader" --wineserver "$wineserver" \
  "${stand_in[@]}" \
  --interop-host-program build/host/saverset
exit "$contract_status"
