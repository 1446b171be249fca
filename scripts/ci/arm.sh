#!/usr/bin/env bash
# Cross-builds libtagport.so, the native tests and the tools for 64-bit ARM
# (aarch64-linux-gnu) and 32-bit ARM (arm-linux-gnueabihf), checks each
# library's exports and dynamic section with the target's binutils, runs
# the native tests (label native) under qemu-user, then runs tagport-probe
# built for the target under qemu against tagport-sim from the host build:
# the steps open seek move close, and the doctor on a healthy and on an
# echoing line. The toolchain files name qemu as CMake's emulator, so CTest
# and the GoogleTest discovery run the target programs through it; the node
# redirect is linked into the test programs, so the pseudo-terminal redirection
# needs no LD_PRELOAD there. The probe gets the redirect built for the
# target preloaded through qemu's -E.
#
#   scripts/ci/arm.sh [aarch64|armhf]...     (default: both)
#
# Java, the benchmark and the fuzz targets are host-only and stay off. The
# tool tests are host-only too: they start the tools as child processes,
# which qemu-user cannot run without binfmt_misc (absent in containers); the
# simulator runs on the host, outside qemu, for the same reason.
source "$(dirname "$0")/../lib/build.sh"
stage_verdict arm "${*:-aarch64 armhf}: ABI checked, native tests under qemu, probe and doctor against the simulator"

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

# probe_against_sim <abi> <build dir> <expected exit> <sim option>... -- <probe argument>...
# Starts the host simulator on a pseudo-terminal, runs the target's probe
# under qemu with "/dev/ttyMT3" led there, and shows its output; fails
# unless the probe exits with <expected exit>.
probe_against_sim() {
  local abi=$1 dir=$2 expected=$3
  shift 3
  local sim_args=()
  while (($#)) && [[ $1 != -- ]]; do sim_args+=("$1"); shift; done
  shift
  local work status=0 sim_pid
  work=$(mktemp -d)
  "$host_sim" --link "$work/reader" "${sim_args[@]}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [[ -e $work/reader ]] && break; sleep 0.05; done
  echo "-- tagport-probe $* (simulator: ${sim_args[*]:-healthy})"
  "${qemu[$abi]}" -L "/usr/${triple[$abi]}" \
    -E LD_PRELOAD="$TAGPORT_ROOT/$dir/tools/redirect/libtagport_redirect.so" \
    -E TAGPORT_TTYMT3="$work/reader" \
    "$dir/tools/tagport-probe" "$@" >"$work/probe.out" 2>&1 || status=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  cat "$work/probe.out"
  PROBE_OUT=$(cat "$work/probe.out")
  rm -rf "$work"
  if ((status != expected)); then
    echo "tagport-probe exited with $status, not $expected" >&2
    return 1
  fi
}

# expect_line <text>: the last probe output shows <text>.
expect_line() {
  grep -q -F -e "$1" <<<"$PROBE_OUT" || {
    echo "missing in the probe's output: $1" >&2
    return 1
  }
}

for abi in "${abis[@]}"; do
  [[ -n "${triple[$abi]:-}" ]] || { echo "unknown ABI: $abi" >&2; exit 2; }
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
  probe_against_sim "$abi" "$dir" 0 --count 3 -- open seek move close
  expect_line "seek  card    04 A1 B2 C3 D4 E5 F6 07 (8 bytes)"
  expect_line "close result  0 (closed)"
  probe_against_sim "$abi" "$dir" 0 -- doctor --repeat 3
  expect_line "exchange  ok "
  expect_line "verdict   ok: the reader answers on /dev/ttyMT3 at 115200 bit/s"
  probe_against_sim "$abi" "$dir" 0 -- doctor --json
  expect_line '{"verdict":"ok"'
  probe_against_sim "$abi" "$dir" 1 --echo instead -- doctor --polls 200
  expect_line "verdict   echo, from the exchange check"
  echo "== $abi done in $((SECONDS - start)) s"
done
