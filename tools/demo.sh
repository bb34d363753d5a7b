#!/usr/bin/env bash
# Shows dremlix at work without a card reader: builds what is missing, then runs dremlix on
# COM3 against the simulator, which swipes a card about once a second. Press any key in
# this terminal to end it. Options are passed on to dremlix-sim, e.g. --faults, --seed 7,
# --interval 300-2000.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DREMLIX_BUILD_DIR:-$root/build}

# Configure only a fresh tree: an existing one keeps the options it was made with.
echo "Building dremlix and dremlix-sim in $build ..."
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target dremlix dremlix-sim -j"$(nproc)" >/dev/null

exec "$build/dremlix-sim" --port 3 --interval 1000 "$@" -- "$build/dremlix" 3
