#!/usr/bin/env bash
# Usage: scripts/bench.sh [--strict] [--benchmark_OPTION=VALUE]...
#
# Builds the benchmark program in build-bench and runs it (about 30 s)
# against libtagport.so as built: decoder throughput, one exchange's time,
# the reply wait on an idle line, and the heap calls the library makes. A
# summary lists each figure with its target.
#
# Options:
#   --strict              exit 1 when a target is missed (default: report only)
#   --benchmark_*         Google Benchmark's own options, e.g.
#                         --benchmark_filter=Decoder
#   -h, --help            show this text
#
# Environment:
#   TAGPORT_BENCH_BUILD_DIR   build directory (default: build-bench)
#   JOBS                      parallel build jobs (default 2)
source "$(dirname "$0")/lib/build.sh"
answer_help "$@"
for option in "$@"; do
  case $option in
    --strict | --benchmark_*) ;;
    *) usage_error "unknown option $option" ;;
  esac
done
dir=${TAGPORT_BENCH_BUILD_DIR:-build-bench}
configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build "$dir" tagport_bench
exec "$dir/bench/tagport_bench" "$@"
