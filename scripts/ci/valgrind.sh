#!/usr/bin/env bash
# Usage: scripts/ci/valgrind.sh [BUILD-DIR]
#
# Runs every native test case (label native) under Valgrind memcheck; any
# error (invalid access, uninitialised use, a definitely lost block) fails
# the case. The JVM tests are left out (the JVM's JIT and GC trip
# memcheck), and so are the tool tests, whose programs run as child
# processes memcheck does not follow. The build must be a plain one (no
# TAGPORT_SANITIZE): memcheck and the sanitizer runtimes cannot share a
# process.
#
# Options:
#   BUILD-DIR    a built tree with its tests (default: build, as
#                scripts/test.sh leaves it)
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel test jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
(($# <= 1)) || usage_error "unexpected argument $2"
dir=${1:-build}
stage_verdict valgrind
[[ -f "$dir/CTestTestfile.cmake" ]] || { echo "no tests in $dir" >&2; exit 2; }
if grep -q '^TAGPORT_SANITIZE:BOOL=ON' "$dir/CMakeCache.txt"; then
  echo "$dir is a sanitizer build; memcheck needs a plain one" >&2
  exit 2
fi

# ctest -T memcheck reads its settings from DartConfiguration.tcl, which the
# project (enable_testing without include(CTest)) does not write.
suppressions=scripts/ci/valgrind.supp
options="--error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite"
options+=" --track-origins=yes --child-silent-after-fork=yes"
[[ -f "$suppressions" ]] && options+=" --suppressions=$PWD/$suppressions"
cat >"$dir/DartConfiguration.tcl" <<CONFIG
SourceDirectory: $PWD
BuildDirectory: $PWD/$dir
MemoryCheckType: Valgrind
MemoryCheckCommand: $(command -v valgrind)
MemoryCheckCommandOptions: $options
CONFIG

# Under memcheck every step is many times slower; the cases' own timeouts
# (60 s) still hold, as the waits they contain are bounded by poll counts.
cases=$(ctest --test-dir "$dir" -N -L native | grep -c 'Test *#' || true)
((cases > 0)) || { stage_failed "no native test cases in $dir"; exit 1; }
if ! run_tests "$dir" -T memcheck -L native; then
  stage_failed "memcheck found errors, or cases failed (above)"
  exit 1
fi
# ctest's own summary ends on "Memory checking results:", empty when clean.
echo "valgrind: ok ($cases native cases under memcheck: no invalid access," \
     "uninitialised use or definitely lost block)"
