#!/usr/bin/env bash
# Installs what is missing, builds into build/, and runs every test (native
# and JVM): a JVM suite that cannot be built fails the configure rather than
# drop out.
#
#   scripts/test.sh [CTEST OPTION]...   e.g. -R Doctor, -L tools, -j4
#
# Options after the script's name go to ctest (--help shows this text).
# JOBS (default: 2) sets the parallel build and test jobs.
source "$(dirname "$0")/lib/build.sh"
case "${1:-}" in
  -h | --help)
    sed -n '2,9s/^# \{0,1\}//p' "$TAGPORT_ROOT/scripts/test.sh"
    exit 0
    ;;
esac
stage_verdict test "every test in build passed"
scripts/setup.sh
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_REQUIRE_JVM_TESTS=ON
run_tests build "$@"
