#!/usr/bin/env bash
# Usage: scripts/ci/sanitize.sh
#
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (GCC; -fno-sanitize-recover, so any finding ends the test) in build-asan,
# and runs every test: the native and tool tests first, then the JVM tests.
#
# Options:
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel build and test jobs (default 2)
#
# What makes the runs work:
# - The test redirect must stay ahead of the ASan runtime in symbol lookup:
#   the library's read() and usleep() calls are counted by the redirect, which
#   judges the caller by the return address. Linked normally, the runtime
#   comes first and its interceptors become the callers. So the redirect is
#   preloaded, and verify_asan_link_order=0 lets ASan accept not being
#   first (the redirect allocates nothing before ASan starts).
# - A JVM does not start with the ASan runtime, and loading an instrumented
#   library into it later does not work, so the JVM tests preload it
#   (TAGPORT_ASAN_RUNTIME, after the redirect). For the JVM, ASan must leave
#   SIGSEGV alone (handle_segv=0: HotSpot uses it for null checks and
#   safepoints) and must not report leaks at exit (detect_leaks=0: the JVM
#   does not free what it allocates). Without that runtime the configure
#   fails (TAGPORT_REQUIRE_JVM_TESTS) rather than leave the JVM tests out.
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
no_arguments "$@"
dir=build-asan
stage_verdict sanitize "AddressSanitizer and UBSan: every test passed, nothing reported"

configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DTAGPORT_SANITIZE=ON -DTAGPORT_BUILD_BENCH=OFF -DTAGPORT_REQUIRE_JVM_TESTS=ON

redirect=$(find "$dir/tools/redirect" -maxdepth 1 -name 'libtagport_redirect.so' | head -1)
[[ -n "$redirect" ]] || { echo "test redirect not built" >&2; exit 1; }
redirect=$(realpath "$redirect")

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
common=verify_asan_link_order=0:abort_on_error=0:symbolize=1

echo "== native and tool tests"
LD_PRELOAD="$redirect" \
ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1" \
  run_tests "$dir" -LE jvm

# The configure above fails when the JVM suite cannot be built here.
echo "== JVM tests"
ASAN_OPTIONS="$common:detect_leaks=0:handle_segv=0:allow_user_segv_handler=1" \
  run_tests "$dir" -L jvm --no-tests=error
