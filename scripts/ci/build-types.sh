#!/usr/bin/env bash
# Usage: scripts/ci/build-types.sh [VARIANT]...
#
# Builds everything in every build type with GCC, and Release with clang,
# warnings as errors: optimisation levels and compilers each find warnings
# of their own. Everything includes the JVM tests and the build of the JNI
# glue and the public headers against Android's jni.h; either missing fails
# the configure. Runs the tests on the clang build; the test stage
# (scripts/test.sh) runs them on GCC's RelWithDebInfo, whose build in
# build/ is shared with it. Each variant runs on its own, so one failing
# does not hide the others; a table at the end lists them.
#
# Options:
#   VARIANT      COMPILER:TYPE[+test]: gcc or clang, Debug, Release,
#                MinSizeRel or RelWithDebInfo, +test to run the tests too
#                (default: gcc:Debug gcc:Release gcc:MinSizeRel
#                gcc:RelWithDebInfo clang:Release+test)
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel build and test jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
for variant in "$@"; do
  [[ $variant =~ ^(gcc|clang):(Debug|Release|MinSizeRel|RelWithDebInfo)(\+test)?$ ]] ||
    usage_error "unknown variant $variant"
done

if (($# != 1)); then
  stage_verdict build-types "every variant built, warnings as errors"
  (($#)) || set -- gcc:Debug gcc:Release gcc:MinSizeRel gcc:RelWithDebInfo \
    clang:Release+test
  status=0
  rows=()
  for variant in "$@"; do
    start=$SECONDS
    result=ok
    "$TAGPORT_ROOT/scripts/ci/build-types.sh" "$variant" || {
      result=FAILED
      stage_failed "$variant"
      status=1
    }
    rows+=("$(printf '%-26s %4d s  %s' "$variant" $((SECONDS - start)) "$result")")
  done
  echo "== build types"
  printf '%s\n' "${rows[@]}"
  exit $status
fi

variant=$1
run=no
if [[ $variant == *+test ]]; then
  run=yes
  variant=${variant%+test}
fi
compiler=${variant%%:*}
type=${variant#*:}
# Both checked against the variants above.
case $compiler in
  gcc) cc=gcc cxx=g++ id=GNU ;;
  clang) cc=clang cxx=clang++ id=Clang ;;
esac
dir=build-$compiler-${type,,}
# The test stage's build, configured the same way.
[[ $compiler == gcc && $type == RelWithDebInfo ]] && dir=build

echo "== $compiler $type in $dir (warnings as errors)"
# The compiler goes by environment, which only a new build directory reads:
# naming it in the cache would make CMake start an existing one afresh.
# Everything means the JVM suite too, and the JNI glue compiled against
# Android's own jni.h (installed by scripts/setup.sh ci) besides the JDK's.
CC=$cc CXX=$cxx configure "$dir" -DCMAKE_BUILD_TYPE="$type" \
  -DTAGPORT_REQUIRE_JVM_TESTS=ON \
  -DTAGPORT_ANDROID_JNI_DIR=/usr/include/android/nativehelper >/dev/null
actual=$(sed -n 's/^set(CMAKE_CXX_COMPILER_ID "\(.*\)")$/\1/p' \
  "$dir"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -1)
if [[ $actual != "$id" ]]; then
  echo "$dir is configured for '$actual', not $compiler; remove it" >&2
  exit 1
fi
build "$dir"
if [[ $run == yes ]]; then
  run_tests "$dir"
fi
