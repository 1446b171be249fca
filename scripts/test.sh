#!/usr/bin/env bash
# Usage: scripts/test.sh [CTEST OPTION]...   e.g. -R Doctor, -L tools, -j4
#
# Installs what is missing (scripts/setup.sh), builds into build/, and runs
# every test (native and JVM): a JVM suite that cannot be built fails the
# configure rather than drop out.
#
# Options:
#   CTEST OPTION   one of ctest's options for choosing and running tests
#                  (-R, -E, -L, -LE, -j, -V, --repeat, --timeout, ...; see
#                  ctest --help), with its value; passed to ctest after
#                  --output-on-failure -j JOBS
#   -h, --help     show this text
#
# Environment:
#   JOBS   parallel build and test jobs (default 2)
source "$(dirname "$0")/lib/build.sh"
answer_help "$@"
# ctest passes over an option it does not know, and a mistyped one would
# cost a whole build before that: only ctest's own options for choosing and
# running tests go through, and none that runs a failed test again (a
# verdict is the first run's).
ctest_options=" -C --build-config --progress -V --verbose -VV --extra-verbose
  --debug --output-on-failure --stop-on-failure --test-output-size-passed
  --test-output-size-failed --test-output-truncation -F -j --parallel
  --test-load -Q --quiet -O --output-log --output-junit
  -N --show-only -L --label-regex -R --tests-regex -E --exclude-regex -LE
  --label-exclude -FA --fixture-exclude-any -FS --fixture-exclude-setup -FC
  --fixture-exclude-cleanup -I --tests-information -U --union
  --repeat --repeat-until-fail --max-width --no-label-summary
  --no-subproject-summary --timeout --stop-time --no-tests --print-labels
  --schedule-random --no-compress-output "
for option in "$@"; do
  case $option in
    -j[0-9]*) ;;
    *until-pass* | *after-timeout*)
      usage_error "$option runs a failed test again: a verdict is the first run's"
      ;;
    -*)
      [[ ${ctest_options//$'\n'/ } == *" ${option%%=*} "* ]] ||
        usage_error "unknown option $option"
      ;;
  esac
done
stage_verdict test "every test in build passed"
scripts/setup.sh
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_REQUIRE_JVM_TESTS=ON
run_tests build "$@"
