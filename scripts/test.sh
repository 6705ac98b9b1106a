#!/usr/bin/env bash
# Installs what the tests need and runs every test: the host suite, the host
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, the
# fuzzers for a short bounded time, the release (two clean clones must build
# the same bytes), and the Windows program under Wine (on the path that
# scripts/wine-arch.sh chooses for this machine).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-packages.sh build fuzz bench release windows

echo "== host build and tests"
cmake --preset host >/dev/null
cmake --build build/host -j"$jobs"
ctest --preset host -j"$jobs"

echo "== host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset host-sanitize >/dev/null
cmake --build build/host-sanitize -j"$jobs"
ctest --preset host-sanitize -j"$jobs"

# A stage that cannot run fails the run, with the reason; none is skipped.
stage() {
  local title=$1 script=$2
  shift 2
  if [ ! -f "$script" ]; then
    echo "test.sh: stage '$title' cannot run: $script is missing" >&2
    exit 1
  fi
  if [ ! -x "$script" ]; then
    echo "test.sh: stage '$title' cannot run: $script is not executable (chmod +x $script)" >&2
    exit 1
  fi
  echo "== $title"
  "$script" "$@"
}

stage "fuzzers, short run" fuzz/run.sh
stage "release: two clean clones build the same bytes" tests/release/release_test.sh
stage "Windows program under Wine" tests/conformance/run_wine.sh
