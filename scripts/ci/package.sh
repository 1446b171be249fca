#!/usr/bin/env bash
# Checks the install of a host build and the development package:
#   - `cmake --install` puts lib/libtagport.so and its companion
#     lib/libtagport_outcome.so there and nothing else, and the companion
#     needs the library by the name the library gives itself (SONAME);
#   - `--component Development` adds exactly the three headers under
#     include/tagport/, the CMake package and tagport.pc;
#   - a native caller (tests/package, its own project) builds from that
#     prefix alone, once through find_package(tagport) and once through
#     `pkg-config --cflags --libs tagport`, and both programs run against
#     the installed library.
# The prefix is a temporary directory given with --prefix, so the package
# files must find the install from where they lie.
#
#   scripts/ci/package.sh [build-dir]      (default: build)
source "$(dirname "$0")/../lib/build.sh"
dir=${1:-build}
failures=0
stage_verdict package

fail() {
  echo "package: FAILED: $*" >&2
  stage_failed "$*"
  failures=$((failures + 1))
}

[[ -f "$dir/build.ninja" ]] || configure_and_build "$dir"
cmake --build "$dir" -j2 --target tagport tagport_outcome

prefix=$(mktemp -d)
on_exit 'rm -rf "$prefix"'
installed() { (cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort); }

# expect_installed <what> <path>...: the prefix holds exactly these files.
expect_installed() {
  local what=$1
  shift
  local wanted
  wanted=$(printf '%s\n' "$@" | sort)
  if [[ "$(installed)" == "$wanted" ]]; then
    echo "$what: ${wanted//$'\n'/ }"
  else
    fail "$what installs other files (< expected, > installed):"
    diff <(echo "$wanted") <(installed) >&2 || true
  fi
}

echo "== default install"
cmake --install "$dir" --prefix "$prefix" >/dev/null
expect_installed "cmake --install" lib/libtagport.so lib/libtagport_outcome.so
soname=$(readelf -d -W "$prefix/lib/libtagport.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
needed=$(readelf -d -W "$prefix/lib/libtagport_outcome.so" |
         sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -qxF "${soname:-libtagport.so}" <<<"$needed"; then
  echo "libtagport_outcome.so needs ${soname:-libtagport.so}, as the library names itself"
else
  fail "libtagport_outcome.so needs '${needed//$'\n'/ }', not the library's own name '${soname:-libtagport.so}'"
fi

echo "== development component"
cmake --install "$dir" --prefix "$prefix" --component Development >/dev/null
config=$(grep -m1 '^CMAKE_BUILD_TYPE:' "$dir/CMakeCache.txt" | cut -d= -f2 |
         tr '[:upper:]' '[:lower:]')
expect_installed "with --component Development" lib/libtagport.so \
  lib/libtagport_outcome.so \
  include/tagport/serial_port.h include/tagport/frame_link.h \
  include/tagport/reader.h include/tagport/tagport_jni.h \
  lib/cmake/tagport/tagportConfig.cmake \
  lib/cmake/tagport/tagportConfigVersion.cmake \
  lib/cmake/tagport/tagportTargets.cmake \
  "lib/cmake/tagport/tagportTargets-${config:-noconfig}.cmake" \
  lib/pkgconfig/tagport.pc

caller_dir=$dir/package-test
echo "== native caller through find_package(tagport)"
rm -rf "$caller_dir"
if cmake -S tests/package -B "$caller_dir/cmake" -G Ninja \
     -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
   cmake --build "$caller_dir/cmake"; then
  "$caller_dir/cmake/native_caller" || fail "the find_package build (above)"
else
  fail "the native caller does not build through find_package(tagport)"
fi

echo "== native caller through pkg-config"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs tagport) ||
  fail "pkg-config does not find tagport"
echo "pkg-config --cflags --libs tagport: $flags"
# shellcheck disable=SC2086 # the flags are separate words
if cc -std=c99 -pedantic -Wall -Wextra -Werror tests/package/native_caller.c \
     $flags -o "$caller_dir/native_caller_pc"; then
  LD_LIBRARY_PATH="$prefix/lib" "$caller_dir/native_caller_pc" ||
    fail "the pkg-config build (above)"
else
  fail "the native caller does not build through pkg-config"
fi

if ((failures)); then
  exit 1
fi
echo "package: default install is the library and its companion; the development" \
     "package builds and runs a native caller through find_package and pkg-config"
