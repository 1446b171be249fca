#!/usr/bin/env bash
# Reads one card through libtagport from Java: open, seek (data printed in
# hex), move, close, with each step's result code.
#
#   scripts/demo.sh            against a simulated reader module on a
#                              pseudo-terminal; no hardware, no root
#   scripts/demo.sh --device   against the real reader on /dev/ttyMT3
#
# BUILD_DIR (default: build) and JOBS (default: 2) adjust the build.
source "$(dirname "$0")/lib/build.sh"

mode=simulated
case "${1:-}" in
  "") ;;
  --device) mode=device ;;
  -h | --help)
    sed -n '2,9s/^# \{0,1\}//p' "$TAGPORT_ROOT/scripts/demo.sh"
    exit 0
    ;;
  *)
    echo "unknown option: $1 (try --help)" >&2
    exit 2
    ;;
esac

build="${BUILD_DIR:-build}"
scripts/setup.sh
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tagport ctagport_jar tagport_demo_jar)
if [[ $mode == simulated ]]; then
  targets+=(tagport_test_shim readersim_jni tagport_jvmtest_support_jar)
fi
build "$build" "${targets[@]}"

classpath="$build/java/ctagport.jar:$build/java/tagport-demo.jar"
if [[ $mode == device ]]; then
  echo "== reader on /dev/ttyMT3"
  exec java -Djava.library.path="$build" -cp "$classpath" \
    tagport.example.ReaderDemo
fi

# The module runs inside the demo's JVM on a fresh pseudo-terminal; the
# preloaded shim leads the library's "/dev/ttyMT3" there (TAGPORT_TTYMT3,
# set by the launcher once the terminal exists).
echo "== simulated reader module (frames: <- request, -> reply)"
LD_PRELOAD="$build/tests/libtagport_test_shim.so" \
  exec java -Djava.library.path="$build:$build/tests/jni" \
  -cp "$classpath:$build/tests/jni/tagport-jvmtest-support.jar" \
  tagport.jvmtest.SimulatedDemo
