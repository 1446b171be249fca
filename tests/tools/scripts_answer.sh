#!/usr/bin/env bash
# The scripts answer: --help prints usage and starts nothing, and a stage
# that sources scripts/lib/build.sh ends on its verdict line, passed or
# failed, after its own clean-up.
#
#   tests/tools/scripts_answer.sh SOURCE-DIR
set -uo pipefail
root=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# expect_help <script> <usage line>: exit 0, the usage shown, nothing set up
# or built.
expect_help() {
  local out status=0
  out=$(BUILD_DIR="$scratch/never-built" timeout 30 "$root/$1" --help 2>&1) || status=$?
  ((status == 0)) || fail "$1 --help exited with $status"
  grep -qF -- "$2" <<<"$out" || fail "$1 --help does not show '$2': $out"
  if grep -q "^setup:" <<<"$out" || [[ -e $scratch/never-built ]]; then
    fail "$1 --help set up or built: $out"
  fi
}
expect_help scripts/test.sh "scripts/test.sh [CTEST OPTION]..."
expect_help scripts/demo.sh "scripts/demo.sh --device   against the real reader"

# expect_last <wanted last line> <stage body>: the body run after sourcing
# build.sh, as a CI stage is.
expect_last() {
  local wanted=$1 body=$2 out
  printf 'source %q/scripts/lib/build.sh\n%s\n' "$root" "$body" >"$scratch/stage.sh"
  out=$(bash "$scratch/stage.sh" 2>/dev/null)
  [[ $(tail -1 <<<"$out") == "$wanted" ]] ||
    fail "'$body' ends on '$(tail -1 <<<"$out")', not '$wanted'"
}
expect_last "demo: ok (all checked)" 'stage_verdict demo "all checked"; true'
expect_last "own words" 'stage_verdict demo; echo "own words"'
expect_last "demo: FAILED: 'false' exited with 1" \
  'stage_verdict demo "all checked"; false; echo "not reached"'
expect_last "demo: FAILED: the format; the tidy" \
  'stage_verdict demo "x"; stage_failed the format; stage_failed the tidy; exit 1'
expect_last "demo: FAILED: exit status 3" 'stage_verdict demo "x"; exit 3'
expect_last "demo: ok (x)" 'stage_verdict demo "x"; on_exit "echo cleaned"'
out=$(bash -c "source '$root/scripts/lib/build.sh'; stage_verdict demo x; on_exit 'echo cleaned'; exit 1")
[[ $out == $'cleaned\ndemo: FAILED: exit status 1' ]] ||
  fail "clean-up does not come before the verdict: $out"
# Sourced without a stage, nothing is added.
[[ -z $(bash -c "source '$root/scripts/lib/build.sh'; exit 1") ]] ||
  fail "a script without a stage got a verdict"

((failures == 0)) || exit 1
echo "scripts answer: --help of test.sh and demo.sh, verdict lines"
