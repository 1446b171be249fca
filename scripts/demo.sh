#!/usr/bin/env bash
# Usage: scripts/demo.sh [--device]
#
# Reads one card through libtagport from Java: open, seek (data printed in
# hex), move, close, with each step's result code. Installs what is missing
# (scripts/setup.sh) and builds into build/ first.
#
#   scripts/demo.sh            against a simulated reader module on a
#                              pseudo-terminal; no hardware, no root
#   scripts/demo.sh --device   against the real reader on /dev/ttyMT3
#
# Options:
#   --device     the real reader instead of the simulated one
#   -h, --help   show this text
#
# Environment:
#   BUILD_DIR   build directory (default: build)
#   JOBS        parallel build jobs (default 2)
source "$(dirname "$0")/lib/build.sh"
answer_help "$@"

mode=simulated
case "${1:-}" in
  "") ;;
  --device) mode=device ;;
  -*) usage_error "unknown option $1" ;;
  *) usage_error "unexpected argument $1" ;;
esac
(($# <= 1)) || usage_error "unexpected argument $2"

build="${BUILD_DIR:-build}"
scripts/setup.sh
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tagport ctagport_jar tagport_demo_jar)
if [[ $mode == device ]]; then
  targets+=(tagport-probe)  # named when the reader does not answer
fi
if [[ $mode == simulated ]]; then
  targets+=(tagport_redirect tagport_sim_jni tagport_sim_jar tagport_sim_demo_jar)
fi
build "$build" "${targets[@]}"

classpath="$build/java/ctagport.jar:$build/examples/tagport-demo.jar"
if [[ $mode == device ]]; then
  echo "== reader on /dev/ttyMT3"
  status=0
  # The library's two diagnostics end without a line break: each gets one,
  # so the step's line that follows stands on its own.
  java -Djava.library.path="$build" -cp "$classpath" \
    tagport.example.ReaderDemo |
    sed -E 's/(openSerial failed|write error: )(.)/\1\n\2/g' || status=$?
  if ((status != 0)); then
    echo "demo: the reader on /dev/ttyMT3 did not answer every step (codes" \
         "above; \"openSerial failed\" means the node did not open)." \
         "Next: $build/tools/tagport-probe doctor, as the same user, says why" \
         "and what to do" >&2
  fi
  exit "$status"
fi

# The module runs inside the demo's JVM on a fresh pseudo-terminal; the
# preloaded node redirect leads the library's "/dev/ttyMT3" there (TAGPORT_TTYMT3,
# set by the simulated reader once the terminal exists).
echo "== simulated reader module (frames: <- request, -> reply)"
LD_PRELOAD="$build/tools/redirect/libtagport_redirect.so" \
  exec java -Djava.library.path="$build:$build/tools/sim/java" \
  -cp "$classpath:$build/tools/sim/java/tagport-sim.jar:$build/examples/tagport-sim-demo.jar" \
  tagport.example.SimulatedReaderDemo
