#!/usr/bin/env bash
# Measures dremlix against the card reader simulator: loss at line rate, latency, unpaced
# throughput beside cat, CPU and memory, and the record framer alone. Takes about three
# minutes and prints a Markdown table; nothing in it passes or fails.
#
#   tools/benchmark.sh            print the table
#   tools/benchmark.sh --write    also replace BENCHMARKS.md with it
#   tools/benchmark.sh --records 200 --idle-seconds 3   shorter runs (see tools/bench.py -h)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DREMLIX_BENCH_BUILD_DIR:-$root/build-bench}
# shellcheck source=prerequisites.sh
source "$root/tools/prerequisites.sh"
# shellcheck source=build_tree.sh
source "$root/tools/build_tree.sh"

# Google Benchmark times the framer alone; python3 drives the rest.
dremlix_need "to build and run the benchmark" cmake g++ make python3 libbenchmark-dev

args=()
for arg in "$@"; do
    if [ "$arg" = "--write" ]; then
        args+=(--write "$root/BENCHMARKS.md")
    else
        args+=("$arg")
    fi
done

# A build of its own, optimised and without the tests, so timings do not depend on how
# the developer's build/ was configured.
dremlix_configure "$root" "$build" -DCMAKE_BUILD_TYPE=Release -DDREMLIX_TESTS=OFF >/dev/null
cmake --build "$build" --target dremlix dremlix-sim dremlix-framer-bench -j"$(nproc)" >/dev/null

cd "$root"
exec python3 "$root/tools/bench.py" --build "$build" --command "tools/benchmark.sh --write" \
    "${args[@]}"
