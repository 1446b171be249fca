#!/usr/bin/env bash
# The stall guard runs a failing command again only when it counts the
# failure as the machine's, returns the last run's status, and says why.
#
#   tests/support/stall_guard_test.sh GUARD
set -uo pipefail
guard=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect <runs> <status> <text> <guard options and command>...
expect() {
  local runs=$1 status=$2 text=$3 out got=0
  shift 3
  : >"$scratch/runs"
  out=$("$guard" "$@" 2>&1) || got=$?
  local counted
  counted=$(wc -l <"$scratch/runs")
  if ((counted != runs || got != status)) || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAILED: $* ran $counted times (wanted $runs), exited $got" \
      "(wanted $status), said: $out" >&2
    failures=$((failures + 1))
  fi
}

# A command that logs each run and fails with status 3 until run $1.
cat >"$scratch/until" <<SCRIPT
#!/bin/sh
echo run >>"$scratch/runs"
[ "\$(wc -l <"$scratch/runs")" -ge "\$1" ] || exit 3
SCRIPT
chmod +x "$scratch/until"
until=$scratch/until

# Every delay counts as a stall (0 ms), or none does (an hour).
expect 1 0 "" --stall-ms 0 "$until" 1
expect 3 3 "run 3 of 3 failed (status 3)" --stall-ms 0 "$until" 9
expect 2 0 "passed on run 2 of 3" --stall-ms 0 "$until" 2
expect 5 3 "no runs left" --stall-ms 0 --runs 5 "$until" 9
expect 1 3 "a real failure" --stall-ms 3600000 "$until" 9
# A run killed by a signal is a failure too.
expect 0 137 "a real failure" --stall-ms 3600000 sh -c 'kill -9 $$'
expect 0 2 "Usage:" --stall-ms
expect 0 2 "Usage:" --runs 0 true
expect 0 2 "cannot run" ./no-such-command

((failures == 0)) || exit 1
echo "stall guard: all cases pass"
