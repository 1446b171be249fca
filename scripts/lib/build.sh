# Sourced by every script that builds: strict mode, the repository root as
# working directory, and the one way the project is configured, built and
# tested. Our own builds treat warnings as errors (TAGPORT_WERROR); a user's
# plain cmake build does not.
#
#   JOBS   parallel jobs for building and testing (default 2: the CI machine
#          has two cores)
#
# It also gives the script answer_help, usage_error and reject_options
# (scripts/lib/usage.sh): call answer_help "$@" before anything else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/usage.sh"
TAGPORT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$TAGPORT_ROOT"
TAGPORT_JOBS=${JOBS:-2}

# configure <dir> <cmake option>...
# Options given here come after the defaults, so they may override them.
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DTAGPORT_WERROR=ON "$@"
}

# build <dir> [target]...     (no target: everything)
build() {
  local dir=$1
  shift
  local targets=()
  (($#)) && targets=(--target "$@")
  cmake --build "$dir" --parallel "$TAGPORT_JOBS" "${targets[@]}"
}

# configure_and_build <dir> <cmake option>...
configure_and_build() {
  configure "$@"
  build "$1"
}

# run_tests <dir> <ctest option>...
# A test that skips itself fails the run unless tests/allowed_skips.txt
# names it: a skipped test checks nothing, so a skip must be one the machine
# cannot avoid, and say why there.
run_tests() {
  local dir=$1 log status=0 skipped unexpected
  shift
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j "$TAGPORT_JOBS" "$@" |
    tee "$log" || status=$?
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
  rm -f "$log"
  unexpected=$(grep -vxF -f <(grep -v '^#' "$TAGPORT_ROOT/tests/allowed_skips.txt" |
                               grep .) <<<"$skipped" | grep . || true)
  if [[ -n $unexpected ]]; then
    echo "tests skipped that tests/allowed_skips.txt does not allow:" $unexpected >&2
    stage_failed "tests skipped without leave: $(echo $unexpected)"
    return 1
  fi
  return "$status"
}

# A CI stage ends on one verdict line, whatever happens on the way:
#
#   stage_verdict <stage> [<what passing covers>]
#
# makes the script's last line "<stage>: ok (<what passing covers>)" when it
# exits 0 (nothing when the second argument is left out: the script prints
# its own), and "<stage>: FAILED: <why>" otherwise, <why> being what the
# script gave stage_failed, else the command that stopped it. Clean-up a
# script needs on exit goes through on_exit, which runs it before the
# verdict.
tagport_stage=
tagport_stage_passed=
tagport_stage_why=()
tagport_stopped_by=
tagport_exit_steps=()

stage_verdict() {
  tagport_stage=$1
  tagport_stage_passed=${2:-}
  trap 'tagport_stopped_by=${tagport_stopped_by:-$BASH_COMMAND}' ERR
}

# stage_failed <why>: a failure the verdict names; the script goes on, and
# must still exit non-zero.
stage_failed() {
  tagport_stage_why+=("$*")
}

# on_exit <command>: run when the script exits, before the verdict.
on_exit() {
  tagport_exit_steps+=("$1")
}

tagport_exit() {
  local status=$1 step why
  for step in "${tagport_exit_steps[@]}"; do
    eval "$step" || true
  done
  [[ -n $tagport_stage ]] || return 0
  if ((status == 0)); then
    [[ -z $tagport_stage_passed ]] || echo "$tagport_stage: ok ($tagport_stage_passed)"
  else
    if ((${#tagport_stage_why[@]})); then
      why=$(printf '%s; ' "${tagport_stage_why[@]}")
      why=${why%; }
    elif [[ -n $tagport_stopped_by ]]; then
      why="'$tagport_stopped_by' exited with $status"
    else
      why="exit status $status"
    fi
    echo "$tagport_stage: FAILED: $why"
  fi
}
trap 'tagport_exit $?' EXIT
