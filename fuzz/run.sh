#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for a bounded
# time on a copy of its seed corpus in fuzz/corpus/<target>/, so the committed
# corpus never changes. Exits non-zero when a target finds a fault; the input
# that shows it is kept in build/fuzz/findings/<target>/.
#
#   fuzz/run.sh                       every target, 20 seconds each
#   FUZZ_SECONDS=3600 fuzz/run.sh     a long run
#   fuzz/run.sh profile_file_fuzzer   one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
jobs=${FUZZ_JOBS:-2}
targets=("$@")

cmake --preset fuzz >/dev/null
# Every target, as fuzz/CMakeLists.txt lists them, unless some are named.
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets <build/fuzz/fuzz/targets.txt
fi
cmake --build build/fuzz --target "${targets[@]}" -j"$jobs"

work=build/fuzz/run
failed=0
for target in "${targets[@]}"; do
  rm -rf "$work/$target"
  mkdir -p "$work/$target" "build/fuzz/findings/$target"
  cp fuzz/corpus/"$target"/* "$work/$target"/
  echo "== $target, ${seconds}s"
  if ! build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target/" \
      "$work/$target" >"$work/$target.log" 2>&1; then
    tail -n 40 "$work/$target.log"
    echo "!! $target found a fault; see build/fuzz/findings/$target/ and $work/$target.log"
    failed=1
  else
    grep -E '^(stat::number_of_executed_units|Done)' "$work/$target.log" || true
  fi
done
exit "$failed"
