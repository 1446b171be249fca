#!/usr/bin/env bash
# Installs what is missing, builds into build/, and runs every test (native
# and JVM).
source "$(dirname "$0")/lib/build.sh"
scripts/setup.sh
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build
