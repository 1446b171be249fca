#!/usr/bin/env bash
# Builds the benchmark program in build-bench and runs it. Arguments go to
# the program: --strict (exit 1 when a target is missed) and the usual
# --benchmark_* options.
#
#   TAGPORT_BENCH_BUILD_DIR   build directory (default: build-bench)
source "$(dirname "$0")/lib/build.sh"
dir=${TAGPORT_BENCH_BUILD_DIR:-build-bench}
configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build "$dir" tagport_bench
exec "$dir/bench/tagport_bench" "$@"
