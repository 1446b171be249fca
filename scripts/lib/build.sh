# Sourced by every script that builds: strict mode, the repository root as
# working directory, and the one way the project is configured, built and
# tested. Our own builds treat warnings as errors (TAGPORT_WERROR); a user's
# plain cmake build does not.
#
#   JOBS   parallel jobs for building and testing (default 2: the CI machine
#          has two cores)
set -euo pipefail
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
run_tests() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$TAGPORT_JOBS" "$@"
}
