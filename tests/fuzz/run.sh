#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build directory of their own and runs each for
# the given number of seconds (default 30), starting from the seeds kept here. Exits non-zero
# when a target fails; the failing input is left in the build directory.
#
#   tests/fuzz/run.sh [seconds] [build-dir]
#
# FUZZ_TARGETS picks the targets (default: all three).
set -euo pipefail
seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build-fuzz}
compiler=${CXX_FUZZ:-clang++-14}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$build" -j2 >/dev/null

status=0
for target in ${FUZZ_TARGETS:-framer port link}; do
    # The working corpus grows in the build directory; the seeds in the tree stay as they are.
    corpus=$build/corpus-$target
    mkdir -p "$corpus" "$build/crashes-$target"
    extra=()
    if [ "$target" = port ]; then
        # Command lines may be as long as Windows allows, and longer.
        extra=(-max_len=70000)
    fi
    echo "== ${target}_fuzz for ${seconds}s"
    if ! (cd "$build/crashes-$target" &&
          "$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
              "${extra[@]}" "$corpus" "$here/corpus/$target" 2>"$build/${target}.log"); then
        status=1
        tail -n 40 "$build/${target}.log"
        echo "== ${target}_fuzz FAILED; inputs in $build/crashes-$target"
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$build/${target}.log" || true
done
exit $status
