#!/usr/bin/env bash
# Usage: scripts/ci/static.sh [BUILD-DIR]
#
# Static checks; any finding fails:
#   - clang-format (.clang-format) over every C and C++ file in git;
#   - clang-tidy (.clang-tidy) over the library and its companion
#     (outcome/), with the build's compile_commands.json, so it sees the
#     flags and the generated JNI headers they are built with;
#   - cppcheck over the library and its companion.
# Suppressions stand next to the code they concern, with their reason.
#
# Options:
#   BUILD-DIR    a configured build, for its compile_commands.json (default:
#                build, as scripts/test.sh leaves it)
#   -h, --help   show this text
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
(($# <= 1)) || usage_error "unexpected argument $2"
dir=${1:-build}
library_dirs=(serial link protocol jni outcome)
status=0
stage_verdict static "clang-format, clang-tidy, cppcheck: no finding"

echo "== clang-format"
mapfile -t sources < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if ! clang-format --dry-run -Werror "${sources[@]}"; then
  echo "clang-format: the files above differ from the style;" \
       "run clang-format -i on them" >&2
  stage_failed "clang-format (files above)"
  status=1
fi

echo "== clang-tidy"
[[ -f "$dir/compile_commands.json" ]] ||
  { echo "no $dir/compile_commands.json; configure $dir first" >&2; exit 2; }
mapfile -t library_sources < <(git ls-files -- "${library_dirs[@]/%//*.cc}")
if ! clang-tidy -p "$dir" --quiet "${library_sources[@]}"; then
  stage_failed "clang-tidy (findings above)"
  status=1
fi

echo "== cppcheck"
# One configuration (-D__linux__): the build's own; without a -D cppcheck
# would also try the undefined-macro variants, such as an #include of a
# header name that only the build defines.
if ! cppcheck --enable=warning,style,performance,portability --std=c++17 \
     --language=c++ --inline-suppr --error-exitcode=1 --quiet -I . -I include \
     -D__linux__ --suppress=missingIncludeSystem "${library_dirs[@]}"; then
  stage_failed "cppcheck (findings above)"
  status=1
fi

exit $status
