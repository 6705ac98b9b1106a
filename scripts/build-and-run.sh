#!/usr/bin/env bash
# Builds the host program and runs it with the given command line (by default
# the example from the README) on the machine folder: $SAVERSET_MACHINE, else
# the default one under ~/.local/share. Prints where the results are.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh build
cmake --preset host >/dev/null
cmake --build build/host -j"$(nproc)" --target saverset >/dev/null
[ $# -gt 0 ] || set -- -g '"Aquarium"' 'D:\Shows\Aquarium'
status=0
build/host/saverset "$@" || status=$?
machine=${SAVERSET_MACHINE:-${XDG_DATA_HOME:-$HOME/.local/share}/saverset/machine}
echo "saverset exited with $status; machine folder: $machine" >&2
exit "$status"
