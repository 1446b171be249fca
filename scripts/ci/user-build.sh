#!/usr/bin/env bash
# Usage: scripts/ci/user-build.sh
#
# What a user's build needs and does, outside our scripts:
#   1. A plain `cmake -S . -B <dir>` makes no warning an error: no compile
#      or javac command in the generated build asks for -Werror.
#   2. The library alone (tests, tools, benchmark and Java off) configures
#      and builds, warnings as errors, with GoogleTest and Google Benchmark
#      hidden from find_package; nothing in it refers to them.
#   3. The hiding works: the same configure with the tests or the benchmark
#      on fails, naming the hidden package.
#   4. Installing the TestKit component from that build, which has no Java,
#      fails and names the option to turn on, installing nothing.
# It builds in build-user-*.
#
# Options:
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel build jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
no_arguments "$@"
status=0

stage_verdict user-build "no -Werror in a plain build; the library alone builds without GoogleTest and Google Benchmark; tests or benchmark on without them fail; its TestKit install refuses, naming the option"
fail() {
  echo "user-build: $*" >&2
  stage_failed "$*"
  status=1
}

echo "== plain configure, every default (build-user-plain)"
rm -rf build-user-plain
# The user's own command: no generator, none of our options.
cmake -S . -B build-user-plain -DCMAKE_BUILD_TYPE=Release >/dev/null
mapfile -t werror < <(grep -rl --include='*.make' --include='*.ninja' \
  -e '-Werror' build-user-plain)
if ((${#werror[@]})); then
  fail "a plain build makes warnings errors in:"
  printf '  %s\n' "${werror[@]}" >&2
else
  echo "no -Werror in the generated build"
fi

hidden=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON --no-warn-unused-cli)
library_only=(-DCMAKE_BUILD_TYPE=Release -DTAGPORT_BUILD_TESTS=OFF
              -DTAGPORT_BUILD_TOOLS=OFF -DTAGPORT_BUILD_BENCH=OFF
              -DTAGPORT_BUILD_JAVA=OFF -DTAGPORT_BUILD_FUZZ=OFF)

echo "== library only, GoogleTest and Google Benchmark hidden (build-user-library)"
rm -rf build-user-library
if output=$(configure_and_build build-user-library "${library_only[@]}" \
              "${hidden[@]}" 2>&1); then
  [[ -f build-user-library/libtagport.so ]] || fail "no libtagport.so built"
  if grep -qiE 'gtest|gmock|benchmark' build-user-library/build.ninja; then
    fail "the library-only build refers to a test or benchmark framework:"
    grep -oiE '[^ ]*(gtest|gmock|benchmark)[^ ]*' \
      build-user-library/build.ninja | sort -u | sed 's/^/  /' >&2
  else
    echo "built libtagport.so; nothing refers to GoogleTest or Google Benchmark"
  fi
  # The test kit needs Java and the tools, both off here.
  kit=build-user-library/kit
  if output=$(cmake --install build-user-library --component TestKit \
                --prefix "$kit" 2>&1); then
    fail "the TestKit component installs from a build without Java"
  elif ! grep -q -- "-DTAGPORT_BUILD_JAVA=ON" <<<"$output"; then
    fail "installing the TestKit without Java fails, but names no option:"
    tail -10 <<<"$output" >&2
  elif [[ -e $kit ]]; then
    fail "the refused TestKit install left files in $kit"
  else
    echo "the TestKit install refuses, naming the option:"
    grep -A3 '^CMake Error' <<<"$output" | tail -3
  fi
else
  fail "the library-only build failed:"
  tail -30 <<<"$output" >&2
fi

# Each part that needs a hidden package must fail to configure, or the
# build above proves nothing.
for part in TESTS:GTest BENCH:benchmark; do
  option=${part%%:*}
  package=${part#*:}
  dir=build-user-needs-$package
  echo "== TAGPORT_BUILD_$option=ON with $package hidden must fail ($dir)"
  rm -rf "$dir"
  if output=$(configure "$dir" "${library_only[@]}" "${hidden[@]}" \
                -DTAGPORT_BUILD_"$option"=ON 2>&1); then
    fail "configured although $package is hidden: the hiding does not work"
  elif ! grep -q "$package" <<<"$output"; then
    fail "failed, but not for want of $package:"
    tail -20 <<<"$output" >&2
  else
    echo "fails as it should:"
    # CMake's message: the paragraph after its "CMake Error" line.
    awk '/^CMake Error/ {on = 1; next} on && /^$/ {exit} on' <<<"$output"
  fi
  rm -rf "$dir"
done

exit $status
