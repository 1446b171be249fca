# Sourced by the CI scripts: strict mode, the repository as working
# directory, and the one way they configure and build.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

# configure_and_build <dir> <cmake option>...
# Two jobs: the CI machine has two cores.
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j2
}
