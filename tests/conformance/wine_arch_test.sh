#!/usr/bin/env bash
# Tests the choice of the Wine path (scripts/wine-arch.sh) on any kernel: the
# probe programs' results are faked folder by folder, binfmt_misc is a folder
# of its own, and one real run checks the probe programs themselves and, where
# a private mount is allowed, a real noexec folder. Prints one line per case
# and exits non-zero on any failure.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../scripts/wine-arch.sh
. "$repo/scripts/wine-arch.sh"

work=$(mktemp -d /tmp/saverset-wine-arch-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0

# --- Fakes -------------------------------------------------------------------

# "i386 x86_64" exit statuses of the probe programs, per folder.
declare -A fake_status
fake_folders=()
wine_arch_folders() { printf '%s\n' "${fake_folders[@]}"; }
wine_arch_run() {
  local folder
  folder=$(dirname "$(dirname "$1")")
  # Called in a command substitution: the calls are kept in a file.
  echo "$1" >>"$work/runs"
  local statuses
  read -r -a statuses <<<"${fake_status[$folder]}"
  case $1 in
    */probe-i386) echo "${statuses[0]}" ;;
    *) echo "${statuses[1]}" ;;
  esac
}

# Three folders, each given "i386 x86_64" statuses; binfmt_misc empty.
setup() {
  rm -rf "$work/cases"
  mkdir -p "$work/cases/a" "$work/cases/b" "$work/cases/c" "$work/cases/binfmt"
  fake_folders=("$work/cases/a" "$work/cases/b" "$work/cases/c")
  fake_status=(["$work/cases/a"]="$1" ["$work/cases/b"]="${2:-42 42}" ["$work/cases/c"]="${3:-42 42}")
  wine_arch_binfmt_dir="$work/cases/binfmt"
  : >"$work/runs"
}

# binfmt_misc entry $1 with magic $2 and mask $3, enabled or not ($4).
binfmt_entry() {
  echo enabled >"$wine_arch_binfmt_dir/status"
  printf '%s\ninterpreter /usr/libexec/qemu-binfmt/emulator\nflags: POCF\noffset 0\nmagic %s\nmask %s\n' \
    "$4" "$2" "$3" >"$wine_arch_binfmt_dir/$1"
  : >"$wine_arch_binfmt_dir/register"
}
qemu_i386_magic=7f454c4601010100000000000000000002000300
qemu_i386_mask=fffffffffffefefcfffffffffffffffffeffffff
qemu_arm_magic=7f454c4601010100000000000000000002002800

# expect NAME STATUS ARCH REASON-PATTERN [STDERR-PATTERN]: runs the choice
# with SAVERSET_WINE_ARCH as set by the caller.
expect() {
  local name=$1 want_status=$2 want_arch=$3 want_reason=$4 want_err=${5:-}
  local status=0 problems=()
  wine_arch="" wine_arch_reason=""
  wine_arch_choose 2>"$work/stderr" || status=$?
  [ "$status" -eq "$want_status" ] || problems+=("status $status, expected $want_status")
  [ "$wine_arch" = "$want_arch" ] || problems+=("path '$wine_arch', expected '$want_arch'")
  [[ $wine_arch_reason =~ $want_reason ]] || problems+=("reason '$wine_arch_reason' does not match '$want_reason'")
  if [ -n "$want_err" ]; then
    grep -Eq "$want_err" "$work/stderr" || problems+=("stderr '$(cat "$work/stderr")' does not match '$want_err'")
  fi
  local left
  left=$(find "${fake_folders[@]}" -mindepth 1 2>/dev/null | head -1)
  [ -z "$left" ] || problems+=("probe files left behind: $left")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "PASS $name"
  else
    echo "FAIL $name"
    printf '    %s\n' "${problems[@]}"
    failed=$((failed + 1))
  fi
}

# --- The choice from faked probe results --------------------------------------

unset SAVERSET_WINE_ARCH
setup "42 42"
expect RunsI386.ChoosesX86 0 x86 "ran natively"

setup "126 42"
expect I386Refused.ChoosesX64 0 x64 "does not run \(exit status 126; its x86-64 twin gave 42\)"

setup "139 42"
expect I386Crashes.ChoosesX64 0 x64 "exit status 139"

# A noexec folder: both fail there; the next folder decides, and the first is named.
setup "126 126" "42 42"
expect NoexecFolder.NextFolderDecidesX86 0 x86 "ran natively" "cases/a does not let programs run \(noexec\?\)"
[[ $(tail -n1 "$work/runs") == "$work/cases/b/"* ]] ||
  { echo "FAIL NoexecFolder.ProbedInTheNextFolder: $(cat "$work/runs")"; failed=$((failed + 1)); }

setup "126 126" "126 42"
expect NoexecFolder.NextFolderDecidesX64 0 x64 "exit status 126" "cases/a does not let programs run"

setup "126 126" "126 126" "126 126"
expect NoFolderRunsPrograms.Fails 1 "" "no folder lets the probe programs run"

# A folder that cannot be written is passed over.
setup "42 42"
fake_folders=("$work/cases/missing" "${fake_folders[@]}")
expect MissingFolder.Skipped 0 x86 "ran natively"

# An emulator registered for i386 ELF files makes a 42 count for nothing.
setup "42 42"
binfmt_entry qemu-i386 "$qemu_i386_magic" "$qemu_i386_mask" enabled
expect EmulatedI386.ChoosesX64 0 x64 "only through the emulator of binfmt_misc entry 'qemu-i386'"

setup "42 42"
binfmt_entry qemu-i386 "$qemu_i386_magic" "$qemu_i386_mask" disabled
expect DisabledEmulator.ChoosesX86 0 x86 "ran natively"

setup "42 42"
binfmt_entry qemu-i386 "$qemu_i386_magic" "$qemu_i386_mask" enabled
echo disabled >"$wine_arch_binfmt_dir/status"
expect BinfmtSwitchedOff.ChoosesX86 0 x86 "ran natively"

setup "42 42"
binfmt_entry qemu-arm "$qemu_arm_magic" "$qemu_i386_mask" enabled
expect OtherArchitectureEmulator.ChoosesX86 0 x86 "ran natively"

# --- Forcing a path ----------------------------------------------------------

export SAVERSET_WINE_ARCH=x64
setup "42 42"
expect ForcedX64.NoProbe 0 x64 "forced by SAVERSET_WINE_ARCH=x64"
[ ! -s "$work/runs" ] || { echo "FAIL ForcedX64.RanNoProbe: $(cat "$work/runs")"; failed=$((failed + 1)); }

export SAVERSET_WINE_ARCH=x86
setup "42 42"
expect ForcedX86.Runs 0 x86 "forced by SAVERSET_WINE_ARCH=x86; .*ran natively"

setup "126 42"
expect ForcedX86.CannotRun.Fails 1 "" "SAVERSET_WINE_ARCH=x86, but this machine runs no 32-bit x86 programs: .*exit status 126"

setup "42 42"
binfmt_entry qemu-i386 "$qemu_i386_magic" "$qemu_i386_mask" enabled
expect ForcedX86.OnlyEmulated.Fails 1 "" "SAVERSET_WINE_ARCH=x86, but .*emulator"

export SAVERSET_WINE_ARCH=arm64
setup "42 42"
expect ForcedUnknown.Fails 1 "" "SAVERSET_WINE_ARCH=arm64: expected x86 or x64"
unset SAVERSET_WINE_ARCH

# --- The real probe programs -------------------------------------------------

# The x86-64 twin must answer 42 on any x86-64 machine; the i386 one answers
# 42 or is refused, never anything else.
real=$(bash -c '. "$1"; folder=$(mktemp -d "$2/real-XXXXXX"); wine_arch_write_probes "$folder" &&
  echo "$(wine_arch_run "$folder/probe-x86_64") $(wine_arch_run "$folder/probe-i386")"' _ \
  "$repo/scripts/wine-arch.sh" "$work")
case $real in
  "42 42" | "42 126") echo "PASS RealProbes ($real)" ;;
  *) echo "FAIL RealProbes: statuses x86_64 i386 = $real" && failed=$((failed + 1)) ;;
esac

# A real noexec folder, in a private mount namespace where one may be made.
mkdir "$work/noexec"
if unshare -m true 2>/dev/null; then
  real=$(unshare -m bash -c '. "$1"; noexec=$2 other=$3
    mount -t tmpfs -o noexec tmpfs "$noexec" 2>/dev/null || { echo mount-refused; exit 0; }
    wine_arch_folders() { printf "%s\n" "$noexec" "$other"; }
    wine_arch_choose 2>&1 >/dev/null | grep -c "noexec/* does not let programs run"
    wine_arch_choose 2>/dev/null && echo "$wine_arch"' _ "$repo/scripts/wine-arch.sh" "$work/noexec" "$work")
  case $real in
    $'1\nx86' | $'1\nx64') echo "PASS RealNoexecFolder.NamedAndPassedOver" ;;
    mount-refused) echo "NOTE RealNoexecFolder not run: no tmpfs may be mounted here (the faked cases cover the rule)" ;;
    *) echo "FAIL RealNoexecFolder.NamedAndPassedOver: got '$real'" && failed=$((failed + 1)) ;;
  esac
else
  echo "NOTE RealNoexecFolder not run: no private mount namespace here (the faked cases above cover the rule)"
fi

[ "$failed" -eq 0 ] && echo "wine_arch_test: all passed" || echo "wine_arch_test: $failed failed"
[ "$failed" -eq 0 ]
