#!/usr/bin/env bash
# Installs what is missing, builds into build/, and runs every test (native
# and JVM): a JVM suite that cannot be built fails the configure rather than
# drop out.
source "$(dirname "$0")/lib/build.sh"
scripts/setup.sh
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_REQUIRE_JVM_TESTS=ON
run_tests build
