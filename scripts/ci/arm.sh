#!/usr/bin/env bash
# Usage: scripts/ci/arm.sh [aarch64|armhf]...
#
# Cross-builds libtagport.so, the native tests and the tools for 64-bit ARM
# (aarch64-linux-gnu, in build-arm64) and 32-bit ARM (arm-linux-gnueabihf,
# in build-armhf), and for each:
#   - checks the library's exports and dynamic section with the target's
#     binutils;
#   - runs the native tests (label native) under qemu-user;
#   - installs the library and its development package to a prefix and
#     builds the native callers' example (examples/native) against it with
#     the same toolchain file, once naming the prefix in CMAKE_PREFIX_PATH
#     and once in CMAKE_FIND_ROOT_PATH, and runs it under qemu against
#     tagport-sim from the host build;
#   - runs tagport-probe built for the target under qemu against the
#     simulator: the steps open seek move close, and the doctor on a healthy
#     and on an echoing line.
# The toolchain files name qemu as CMake's emulator, so CTest and the
# GoogleTest discovery run the target programs through it; the node
# redirect is linked into the test programs, so the pseudo-terminal
# redirection needs no LD_PRELOAD there. The probe and the example get the
# redirect built for the target preloaded through qemu's -E.
#
# Java, the benchmark and the fuzz targets are host-only and stay off. The
# tool tests are host-only too: they start the tools as child processes,
# which qemu-user cannot run without binfmt_misc (absent in containers); the
# simulator runs on the host, outside qemu, for the same reason.
#
# Options:
#   aarch64, armhf   the targets to build (default: both)
#   -h, --help       show this text
#
# Environment:
#   JOBS   parallel build and test jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
for abi in "$@"; do
  [[ $abi == aarch64 || $abi == armhf ]] || usage_error "unknown target $abi"
done
stage_verdict arm "${*:-aarch64 armhf}: ABI checked, native tests under qemu, probe and doctor against the simulator, a program built against the installed cross package"

# qemu-user 7.2 (Debian 12) carries termios speeds only up to B460800 to
# the host, so a pseudo-terminal set to B921600 or above reads back B0. The
# line-settings cases judge the attributes the library hands to tcsetattr,
# recorded by the node redirect inside the emulated program, so every rate
# case runs here too.

declare -A triple=([aarch64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
declare -A build_dir=([aarch64]=build-arm64 [armhf]=build-armhf)
declare -A qemu=([aarch64]=qemu-aarch64 [armhf]=qemu-arm)
abis=("$@")
((${#abis[@]})) || abis=(aarch64 armhf)

# The simulator from the host build (as scripts/test.sh configures it).
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build build tagport-sim
host_sim=$TAGPORT_ROOT/build/tools/tagport-sim

# run_against_sim <abi> <expected exit> <sim option>... -- <program> <argument>...
# Starts the host simulator on a pseudo-terminal, runs the target's program
# under qemu with "/dev/ttyMT3" led there by the target's node redirect (of
# the target's build in $dir), and shows its output; fails unless the
# program exits with <expected exit>.
run_against_sim() {
  local abi=$1 expected=$2
  shift 2
  local sim_args=()
  while (($#)) && [[ $1 != -- ]]; do sim_args+=("$1"); shift; done
  shift
  local work status=0 sim_pid
  work=$(mktemp -d)
  "$host_sim" --link "$work/reader" "${sim_args[@]}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [[ -e $work/reader ]] && break; sleep 0.05; done
  if [[ ! -e $work/reader ]]; then
    echo "tagport-sim is not up after 10 s:" >&2
    cat "$work/sim.log" >&2
    return 1
  fi
  echo "-- ${1#"$dir/"} ${*:2} (simulator: ${sim_args[*]:-healthy})"
  "${qemu[$abi]}" -L "/usr/${triple[$abi]}" \
    -E LD_PRELOAD="$TAGPORT_ROOT/$dir/tools/redirect/libtagport_redirect.so" \
    -E TAGPORT_TTYMT3="$work/reader" \
    "$@" >"$work/run.out" 2>&1 || status=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  cat "$work/run.out"
  RUN_OUT=$(cat "$work/run.out")
  rm -rf "$work"
  if ((status != expected)); then
    echo "${1#"$dir/"} exited with $status, not $expected" >&2
    return 1
  fi
}

# expect_line <text>: the last program's output shows <text>.
expect_line() {
  grep -q -F -e "$1" <<<"$RUN_OUT" || {
    echo "missing in the output: $1" >&2
    return 1
  }
}

for abi in "${abis[@]}"; do
  t=${triple[$abi]}
  dir=${build_dir[$abi]}
  start=$SECONDS
  echo "== $abi ($t) in $dir"
  configure_and_build "$dir" \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$t.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAGPORT_BUILD_JAVA=OFF -DTAGPORT_BUILD_BENCH=OFF \
    -DTAGPORT_BUILD_FUZZ=OFF -DTAGPORT_BUILD_TOOLS=ON --no-warn-unused-cli
  scripts/ci/check-abi.sh "$dir/libtagport.so" "$t-nm" "$t-readelf"
  scripts/ci/check-abi.sh "$dir/libtagport_outcome.so" "$t-nm" "$t-readelf"
  run_tests "$dir" -L native
  # The probe needs the library and small helpers only, never the threaded
  # simulator.
  "$t-readelf" -d "$dir/tools/tagport-probe" | grep NEEDED
  if "$t-nm" -C "$dir/tools/tagport-probe" | grep -q 'tagport_sim::'; then
    echo "tagport-probe contains simulator code" >&2
    exit 1
  fi
  probe=$dir/tools/tagport-probe
  run_against_sim "$abi" 0 --count 3 -- "$probe" open seek move close
  expect_line "seek  card    04 A1 B2 C3 D4 E5 F6 07 (8 bytes)"
  expect_line "close result  0 (closed)"
  run_against_sim "$abi" 0 -- "$probe" doctor --repeat 3
  expect_line "exchange  ok "
  expect_line "repeat    ...      round 3 of 3: "
  expect_line "verdict   ok: the reader answers on /dev/ttyMT3 at 115200 bit/s"
  run_against_sim "$abi" 0 -- "$probe" doctor --json
  expect_line '{"verdict":"ok"'
  run_against_sim "$abi" 1 --echo instead -- "$probe" doctor --polls 200
  expect_line "verdict   echo, from the exchange check"

  # A program of the user's, cross-built with the same toolchain file
  # against the library and development package installed for the target:
  # the native callers' example, finding the package through the prefix
  # named either way a CMake user names one. It records the soname.
  prefix=$TAGPORT_ROOT/$dir/prefix
  rm -rf "$prefix"
  cmake --install "$dir" --prefix "$prefix" >/dev/null
  cmake --install "$dir" --prefix "$prefix" --component Development >/dev/null
  for way in CMAKE_PREFIX_PATH CMAKE_FIND_ROOT_PATH; do
    example=$dir/read-card-$way
    rm -rf "$example"
    echo "-- examples/native with -D$way=${prefix#"$TAGPORT_ROOT/"} in $example"
    cmake -S examples/native -B "$example" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$TAGPORT_ROOT/cmake/toolchains/$t.cmake" \
      -D"$way=$prefix" >/dev/null
    build "$example"
    "$t-readelf" -d "$example/read_card" | grep -F '[libtagport.so.1]' || {
      echo "read_card does not need libtagport.so.1" >&2
      exit 1
    }
    run_against_sim "$abi" 0 -- "$example/read_card"
    expect_line "card: 04 A1 B2 C3 D4 E5 F6 07 (8 bytes)"
  done
  echo "== $abi done in $((SECONDS - start)) s"
done
