#!/usr/bin/env bash
# Usage: scripts/ci/musl.sh [HOST-BUILD-DIR]
#
# Builds libtagport.so against a second C library, musl (clang, toolchain
# cmake/toolchains/x86_64-linux-musl.cmake), in build-musl, and checks it:
#   - the ABI checks of check-abi.sh (exports, no heap, no C++ runtime, ...),
#     on the library and on its companion libtagport_outcome.so;
#   - NEEDED is musl's libc.so alone, and no symbol version of glibc is
#     required;
#   - the native C API works: native_caller (tests/package), built with the
#     same toolchain against the installed development package and run by
#     musl's dynamic loader, sends an open request and checks the reply of
#     tagport-sim (from the host build) reached through "/dev/ttyMT3", with
#     the node redirect, also built for musl, preloaded.
# Bionic is not glibc: glibc-only calls or headers would break here first.
#
# Options:
#   HOST-BUILD-DIR   the host build whose tagport-sim runs (default: build;
#                    built there when missing)
#   -h, --help       show this text
#
# Environment:
#   JOBS   parallel build jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
(($# <= 1)) || usage_error "unexpected argument $2"
host_dir=${1:-build}
dir=build-musl
toolchain=$PWD/cmake/toolchains/x86_64-linux-musl.cmake
redirect_source=$PWD/tools/redirect/node_redirect.c
loader=/lib/ld-musl-x86_64.so.1
failures=0
stage_verdict musl

fail() {
  echo "musl: FAILED: $*" >&2
  stage_failed "$*"
  failures=$((failures + 1))
}

echo "== libtagport.so for musl in $dir"
configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGPORT_BUILD_TESTS=OFF -DTAGPORT_BUILD_TOOLS=OFF \
  -DTAGPORT_BUILD_BENCH=OFF -DTAGPORT_BUILD_JAVA=OFF -DTAGPORT_BUILD_FUZZ=OFF
lib=$dir/libtagport.so

echo "== ABI"
scripts/ci/check-abi.sh "$lib" || fail "check-abi.sh (above)"
scripts/ci/check-abi.sh "$dir/libtagport_outcome.so" || fail "check-abi.sh on the companion (above)"
needed=$(readelf -d -W "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [[ "$needed" == libc.so ]]; then
  echo "NEEDED: libc.so alone (musl)"
else
  fail "NEEDED should be musl's libc.so alone, is: ${needed//$'\n'/ }"
fi
if glibc_versions=$(readelf -V -W "$lib" | grep -o 'GLIBC_[0-9.]*'); then
  fail "needs glibc symbol versions: $(sort -u <<<"$glibc_versions" | tr '\n' ' ')"
else
  echo "symbol versions: none of glibc"
fi

echo "== native caller for musl"
prefix=$dir/prefix
rm -rf "$prefix"
cmake --install "$dir" --prefix "$prefix" >/dev/null
cmake --install "$dir" --prefix "$prefix" --component Development >/dev/null
caller_dir=$dir/native-caller
cmake -S tests/package -B "$caller_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$PWD/$prefix" \
  -DTAGPORT_REDIRECT_SOURCE="$redirect_source" >/dev/null
cmake --build "$caller_dir" -j2
interpreter=$(readelf -l -W "$caller_dir/native_caller" |
              sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
[[ "$interpreter" == "$loader" ]] ||
  fail "native_caller's interpreter is '$interpreter', not $loader"

sim=$host_dir/tools/tagport-sim
if [[ ! -x "$sim" ]]; then
  echo "== tagport-sim from the host build in $host_dir"
  configure_and_build "$host_dir"
fi

echo "== one exchange through the musl build"
work=$(mktemp -d)
sim_pid=
cleanup() {
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
on_exit cleanup
"$sim" --link "$work/ttyreader" --count 1 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [[ -e "$work/ttyreader" ]] && break
  sleep 0.05
done
if [[ ! -e "$work/ttyreader" ]]; then
  fail "tagport-sim did not start:"
  cat "$work/sim.log" >&2
elif ! TAGPORT_TTYMT3="$work/ttyreader" "$loader" \
       --preload "$caller_dir/libtagport_redirect.so" \
       --library-path "$prefix/lib" "$caller_dir/native_caller" exchange; then
  fail "the exchange (above); the simulator saw:"
  cat "$work/sim.log" >&2
fi

if ((failures)); then
  exit 1
fi
echo "musl: $lib as mapped, libc.so alone, no glibc versions;" \
     "one exchange with the simulator through the C API passed"
