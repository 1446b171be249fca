#!/usr/bin/env bash
# Usage: scripts/ci/uptime.sh [armhf|x86_64]...
#
# A device that has been up for weeks: runs the serial port's write-path
# tests (the ones that wait on a full line by the monotonic clock) inside a
# time namespace whose monotonic clock stands far ahead, in builds that trap
# on signed integer overflow. 32-bit ARM (armhf, under qemu-user) is where a
# `long` of milliseconds overflows after 24.9 days; x86-64 catches a 32-bit
# count anywhere else. Needs root for the time namespace.
#
# The stage fails rather than pass vacuously: it checks that the library was
# compiled with the trap, that a program in the namespace reads a clock at
# least 30 days in, that a 32-bit millisecond count does trap there, and
# that the regex selects cases.
#
# Options:
#   armhf, x86_64   the builds to run (default: both)
#   -h, --help      show this text
#
# Environment:
#   TAGPORT_UPTIME_DAYS    how far ahead the clock stands (default 50, past
#                          2^32 ms; at least 30)
#   TAGPORT_UPTIME_TESTS   CTest regex of the cases to run
#                          (default ^SerialPortTest\.Write)
#   JOBS                   parallel build and test jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
for arch in "$@"; do
  [[ $arch == armhf || $arch == x86_64 ]] || usage_error "unknown architecture $arch"
done
days=${TAGPORT_UPTIME_DAYS:-50}
tests=${TAGPORT_UPTIME_TESTS:-'^SerialPortTest\.Write'}
min_days=30
if ((days < min_days)); then
  echo "uptime: TAGPORT_UPTIME_DAYS=$days; at least $min_days needed" >&2
  exit 2
fi
offset=$((days * 86400))
trap_flags="-fsanitize=signed-integer-overflow -fsanitize-undefined-trap-on-error"

# Several architectures: one run each, so that one failing does not hide
# the others.
(($#)) || set -- armhf x86_64
if (($# > 1)); then
  stage_verdict uptime "$*: write paths pass with the clock $days days ahead"
  status=0
  for arch in "$@"; do
    "$TAGPORT_ROOT/scripts/ci/uptime.sh" "$arch" || {
      stage_failed "$arch"
      status=1
    }
  done
  exit $status
fi
arch=$1

stage_verdict uptime
fail() {
  echo "uptime: $arch: $*" >&2
  stage_failed "$arch: $*"
  exit 1
}

# The command in a new time namespace with the monotonic clock moved ahead.
ahead() {
  unshare --time --fork --monotonic "$offset" -- "$@"
}

case $arch in
  armhf)
    toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake)
    cc=arm-linux-gnueabihf-gcc
    emulator=(qemu-arm -L /usr/arm-linux-gnueabihf)
    ;;
  x86_64)
    toolchain=()
    cc=gcc
    emulator=()
    ;;
esac
dir=build-uptime-$arch
start=$SECONDS
echo "== $arch: monotonic clock $days days ahead, signed overflow traps, in $dir"

configure "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$trap_flags" -DCMAKE_CXX_FLAGS="$trap_flags" \
  -DTAGPORT_BUILD_JAVA=OFF -DTAGPORT_BUILD_BENCH=OFF \
  -DTAGPORT_BUILD_TOOLS=OFF -DTAGPORT_BUILD_FUZZ=OFF >/dev/null
build "$dir" serial_port_test

grep -q -e "-fsanitize-undefined-trap-on-error.*serial/serial_port\.cc" \
  "$dir/compile_commands.json" ||
  fail "serial/serial_port.cc was not compiled with: $trap_flags"

clock="$dir/uptime_clock"
"$cc" -O2 $trap_flags -o "$clock" scripts/ci/uptime_clock.c
seconds=$(ahead "${emulator[@]}" "$clock") ||
  fail "cannot run a program in a time namespace (unshare --time needs root and a kernel with time namespaces)"
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < min_days * 86400)); then
  fail "the clock inside reads '$seconds' s, below $min_days days: the offset did not take"
fi
echo "clock inside: $seconds s = $((seconds / 86400)) days = ${seconds}000 ms" \
  "(2^31 ms = 24.9 days)"
# The trap raises SIGILL; the shell reports death by signal N as 128 + N.
canary_status=0
canary=$(ahead "${emulator[@]}" "$clock" canary 2>&1) || canary_status=$?
if ((canary_status != 128 + 4)); then
  fail "a 32-bit millisecond count inside did not trap (status" \
       "$canary_status: $canary): the check would prove nothing"
fi
echo "a 32-bit millisecond count traps inside (SIGILL), as it should"

cases=$(ctest --test-dir "$dir" -N -R "$tests" | grep -c 'Test *#' || true)
((cases > 0)) || fail "no test case matches '$tests'"
echo "running $cases cases matching '$tests':"
ctest --test-dir "$dir" -N -R "$tests" | sed -n 's/.*Test *#[0-9]*: /  /p'
# ctest itself runs inside, so every case (and qemu) starts there.
if ! ahead ctest --test-dir "$dir" -R "$tests" --no-tests=error \
     --output-on-failure -j "$TAGPORT_JOBS"; then
  fail "write-path cases failed with the clock $days days ahead" \
       "(a case killed by SIGILL, 'Illegal', hit a signed overflow trap)"
fi
echo "uptime: $arch: ok in $((SECONDS - start)) s ($cases write-path cases, clock $days days ahead)"
