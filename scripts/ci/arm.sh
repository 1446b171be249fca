#!/usr/bin/env bash
# Cross-builds libtagport.so and the native tests for 64-bit ARM
# (aarch64-linux-gnu) and 32-bit ARM (arm-linux-gnueabihf), checks each
# library's exports and dynamic section with the target's binutils, and runs
# the native tests (label native) under qemu-user. The toolchain files
# name qemu as CMake's emulator, so CTest and the GoogleTest discovery run
# the target programs through it; the node redirect is linked into the test
# programs, so the pseudo-terminal redirection needs no LD_PRELOAD.
#
#   scripts/ci/arm.sh [aarch64|armhf]...     (default: both)
#
# Java, the benchmark and the fuzz targets are host-only and stay off, and
# so are the tools: their tests start the tool programs as child processes,
# which qemu-user cannot run without binfmt_misc (absent in containers).
source "$(dirname "$0")/../lib/build.sh"

# qemu-user 7.2 (Debian 12) carries termios speeds only up to B460800 to
# the host, so a pseudo-terminal set to B921600 or above reads back B0. The
# line-settings cases judge the attributes the library hands to tcsetattr,
# recorded by the node redirect inside the emulated program, so every rate
# case runs here too.

declare -A triple=([aarch64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
declare -A build_dir=([aarch64]=build-arm64 [armhf]=build-armhf)
abis=("$@")
((${#abis[@]})) || abis=(aarch64 armhf)

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
    -DTAGPORT_BUILD_FUZZ=OFF -DTAGPORT_BUILD_TOOLS=OFF --no-warn-unused-cli
  scripts/ci/check-abi.sh "$dir/libtagport.so" "$t-nm" "$t-readelf"
  run_tests "$dir" -L native
  echo "== $abi done in $((SECONDS - start)) s"
done
