#!/usr/bin/env bash
# Runs every test, from a fresh Debian or Ubuntu machine on: installs what the build and the
# tests lack (apt-get, with sudo when not root), sets up the suites that need a real
# environment (Wine and a virtual display; an emulated PC with a 16550 UART), builds build/ and
# runs ctest. Its arguments go to ctest:
#
#   bash tests/run.sh                 every test
#   bash tests/run.sh -L wine         one label
#   bash tests/run.sh -R Framing -j2  by name, two at a time
#
# A suite whose environment cannot be set up here shows in ctest's summary as not run, with
# the reason; the run goes on without it. Needs no terminal and no standard input.
# DREMLIX_BUILD_DIR picks another build tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DREMLIX_BUILD_DIR:-$root/build}
# shellcheck source=../tools/prerequisites.sh
source "$root/tools/prerequisites.sh"
# shellcheck source=../tools/build_tree.sh
source "$root/tools/build_tree.sh"

# Each step says when it began, so a slow one shows in a CI log.
step() {
    echo "== $* ($(date -u +%H:%M:%S) UTC)"
}

step "Installing what the build and the tests need"
dremlix_need "to build dremlix and its tests" cmake g++ make file python3 libgtest-dev libgmock-dev
# The rest only widens what is tested: without it, the suites that need it show as not run.
dremlix_need "to build the Windows programs, run the 64-bit one under Wine and pack the download" \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 zip ||
    echo "dremlix: going on without them; the suites that need them will show as not run" >&2

# Each suite that needs a machine of its own sets it up with a script beside its tests; they
# do only what is missing, so a second run costs little.
for suite in wine uart; do
    setup=$root/tests/$suite/setup.sh
    [ -f "$setup" ] || continue
    step "Setting up the $suite suite's environment"
    if ! bash "$setup"; then
        echo "dremlix: the $suite suite's environment could not be set up (see above);" \
            "its tests will show as not run" >&2
    fi
done

step "Configuring $build"
dremlix_configure "$root" "$build" -DDREMLIX_TESTS=ON >/dev/null
step "Building in $build"
cmake --build "$build" -j"$(nproc)"
step "Testing"
ctest --test-dir "$build" --output-on-failure "$@"
