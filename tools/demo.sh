#!/usr/bin/env bash
# Shows dremlix at work without a card reader: installs what the build lacks, builds what is
# missing, then runs dremlix on COM3 against the simulator, which swipes a card about once a
# second. Press any key in this terminal to end it. Options are passed on to dremlix-sim, e.g.
# --faults, --seed 7, --interval 300-2000.
#
# The demo has a build tree of its own, without the tests, so it needs no test libraries and
# leaves the tests' build/ alone. DREMLIX_BUILD_DIR picks another tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DREMLIX_BUILD_DIR:-$root/build-demo}
# shellcheck source=prerequisites.sh
source "$root/tools/prerequisites.sh"
# shellcheck source=build_tree.sh
source "$root/tools/build_tree.sh"

dremlix_need "to build dremlix and its card-reader simulator for the demo" cmake g++ make

echo "Building dremlix and dremlix-sim in $build ..."
# Configure only a fresh or unfinished tree: a finished one keeps the options it was made with,
# and its build configures itself again when the CMake files change.
if ! dremlix_configured "$build"; then
    dremlix_configure "$root" "$build" -DCMAKE_BUILD_TYPE=Release -DDREMLIX_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target dremlix dremlix-sim -j"$(nproc)" >/dev/null

exec "$build/dremlix-sim" --port 3 --interval 1000 "$@" -- "$build/dremlix" 3
