#!/usr/bin/env bash
# Usage: scripts/ci/coverage.sh
#
# Measures line and branch coverage of the library (serial/, link/, jni/)
# over every test, native and JVM (the JVM loads the instrumented library),
# in a Debug build with --coverage in build-cov, and lists the lines no test
# reaches. Writes build-cov/coverage.html (per-line view) next to the
# summary printed here. Branches the compiler adds for exceptions are left
# out: the library is built without exceptions.
#
# Options:
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel build and test jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
no_arguments "$@"
dir=build-cov
stage_verdict coverage "every test passed; line and branch coverage above, per line in $dir/coverage.html"

configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DTAGPORT_COVERAGE=ON -DTAGPORT_BUILD_BENCH=OFF -DTAGPORT_REQUIRE_JVM_TESTS=ON

# Counts from an earlier run would add up with this one.
find "$dir" -name '*.gcda' -delete
run_tests "$dir"

filters=(--filter 'serial/' --filter 'link/' --filter 'jni/')
common=(--root . --object-directory "$dir" "${filters[@]}"
        --exclude-throw-branches --exclude-unreachable-branches)

echo "== line coverage (Missing: lines no test runs)"
gcovr "${common[@]}" --txt - --print-summary
echo "== branch coverage (Missing: lines with a branch never taken)"
gcovr "${common[@]}" --branches --txt -
gcovr "${common[@]}" --html-details "$dir/coverage.html" >/dev/null
echo "per-line view: $dir/coverage.html"
