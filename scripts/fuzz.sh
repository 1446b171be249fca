#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS] [TARGET]...
#
# Builds the fuzz targets (clang, ASan, UBSan, libFuzzer) in build-fuzz and
# runs each for a bounded time, starting from the seed corpus under
# fuzz/corpus/<target>/. Fails on the first crash or broken check. New
# inputs and crash reproducers go to build-fuzz/work/<target>/; the
# committed seeds are only read.
#
# Options:
#   SECONDS      per target, a whole number (default 60)
#   TARGET       decoder_fuzzer or reply_fuzzer (default: both)
#   -h, --help   show this text
#
# Environment:
#   FUZZ_BUILD_DIR   build directory (default: build-fuzz)
#   JOBS             parallel build jobs (default 2)
source "$(dirname "$0")/lib/build.sh"
answer_help "$@"
reject_options "$@"
all_targets=(decoder_fuzzer reply_fuzzer)
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${all_targets[@]}")
fi
case "$seconds" in
  ''|*[!0-9]*) usage_error "seconds must be a whole number, not '$seconds'" ;;
esac
for target in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $target "* ]] ||
    usage_error "unknown target $target (${all_targets[*]})"
done

stage_verdict fuzz "${targets[*]}, $seconds s each: no crash, no broken check"
dir="${FUZZ_BUILD_DIR:-build-fuzz}"
configure "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_BUILD_FUZZ=ON -DTAGPORT_SANITIZE=ON \
  -DTAGPORT_BUILD_TESTS=OFF -DTAGPORT_BUILD_TOOLS=OFF \
  -DTAGPORT_BUILD_BENCH=OFF -DTAGPORT_BUILD_JAVA=OFF >/dev/null
build "$dir" "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  work="$dir/work/$target"
  mkdir -p "$work/corpus"
  echo "== $target: ${seconds} s"
  if "$dir/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$target" \
       >"$work/log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' \
      "$work/log" || true
  else
    echo "$target FAILED; log: $work/log" >&2
    stage_failed "$target (log: $work/log)"
    grep -E 'ERROR|check failed|invariant broken|Test unit written' "$work/log" >&2 || true
    status=1
  fi
done
exit "$status"
