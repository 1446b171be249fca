#!/usr/bin/env bash
# Builds the benchmark program in build-bench and runs it. Arguments go to
# the program: --strict (exit 1 when a target is missed) and the usual
# --benchmark_* options.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${TAGPORT_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2 --target tagport_bench
exec "$build_dir/bench/tagport_bench" "$@"
