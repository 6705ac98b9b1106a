#!/usr/bin/env bash
# Installs what the tests need and runs every test: the host suite, the host
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, the
# fuzzers for a short bounded time, the release (two clean clones must build
# the same bytes), and the Windows program under Wine.
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

if [ -x fuzz/run.sh ]; then
  echo "== fuzzers, short run"
  fuzz/run.sh
fi

echo "== release: two clean clones build the same bytes"
tests/release/release_test.sh

if [ -x tests/conformance/run_wine.sh ]; then
  echo "== Windows program under Wine"
  tests/conformance/run_wine.sh
fi
