#!/usr/bin/env bash
# Usage: scripts/ci/package.sh [BUILD-DIR]
#
# Checks the install of a host build and the development package:
#   - `cmake --install` puts the library and its companion
#     lib/libtagport_outcome.so there and nothing else: on Linux the library
#     as lib/libtagport.so.<version>, its soname lib/libtagport.so.<major>
#     and the link lib/libtagport.so, from the project's version; the
#     companion needs the library by that soname;
#   - `--component Development` adds exactly the four headers under
#     include/tagport/, the CMake package and tagport.pc;
#   - a native caller (tests/package, its own project) builds from that
#     prefix alone, once through find_package(tagport) and once through
#     `pkg-config --cflags --libs tagport`, and both programs run against
#     the installed library, which they need by its soname;
#   - an Android build (ANDROID set) names the library plain libtagport.so,
#     soname too, as an APK ships it: checked in its generated build files
#     (configured with the host compiler; there is no NDK here).
# The prefix is a temporary directory given with --prefix, so the package
# files must find the install from where they lie.
#
# Options:
#   BUILD-DIR    the host build to install (default: build; configured and
#                built when it has no build files)
#   -h, --help   show this text
#
# Environment:
#   JOBS   parallel build jobs (default 2)
source "$(dirname "$0")/../lib/build.sh"
answer_help "$@"
reject_options "$@"
(($# <= 1)) || usage_error "unexpected argument $2"
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

# The library's names on Linux, from the project's version.
version=$(sed -n 's/^project(libtagport VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soname=libtagport.so.${version%%.*}
library=(lib/libtagport.so "lib/$soname" "lib/libtagport.so.$version")

# expect_soname <what> <ELF file> <name>: the file's SONAME is <name>.
expect_soname() {
  local found
  found=$(readelf -d -W "$2" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ $found == "$3" ]] || fail "$1: SONAME is '$found', not $3"
}
# expect_needs <what> <program>: it needs the library by its soname.
expect_needs() {
  local needed
  needed=$(readelf -d -W "$2" | sed -n 's/.*(NEEDED).*\[\(libtagport.*\)\]/\1/p')
  if [[ $needed == "$soname" ]]; then
    echo "$1 needs $soname"
  else
    fail "$1 needs '$needed', not $soname"
  fi
}

echo "== default install"
cmake --install "$dir" --prefix "$prefix" >/dev/null
expect_installed "cmake --install" "${library[@]}" lib/libtagport_outcome.so
# The links a linker and the loader follow, and the name the library gives.
for link in "libtagport.so $soname" "$soname libtagport.so.$version"; do
  read -r name wanted <<<"$link"
  target=$(readlink "$prefix/lib/$name" || true)
  [[ $target == "$wanted" ]] || fail "lib/$name leads to '$target', not $wanted"
done
expect_soname "lib/libtagport.so.$version" "$prefix/lib/libtagport.so.$version" "$soname"
needed=$(readelf -d -W "$prefix/lib/libtagport_outcome.so" |
         sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -qxF "$soname" <<<"$needed"; then
  echo "libtagport_outcome.so needs $soname, as the library names itself"
else
  fail "libtagport_outcome.so needs '${needed//$'\n'/ }', not the library's own name '$soname'"
fi

echo "== development component"
cmake --install "$dir" --prefix "$prefix" --component Development >/dev/null
config=$(grep -m1 '^CMAKE_BUILD_TYPE:' "$dir/CMakeCache.txt" | cut -d= -f2 |
         tr '[:upper:]' '[:lower:]')
expect_installed "with --component Development" "${library[@]}" \
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
  expect_needs "native_caller (find_package)" "$caller_dir/cmake/native_caller"
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
  expect_needs "native_caller (pkg-config)" "$caller_dir/native_caller_pc"
else
  fail "the native caller does not build through pkg-config"
fi

# An APK ships and loads lib*.so files by their plain names. There is no
# NDK here: the Android build's names are checked where CMake writes them,
# in a configure with ANDROID set and the host compiler.
echo "== Android names (configured with ANDROID set, not built)"
android_dir=$dir/package-android
rm -rf "$android_dir"
configure "$android_dir" -DANDROID=ON -DTAGPORT_BUILD_TESTS=OFF \
  -DTAGPORT_BUILD_TOOLS=OFF -DTAGPORT_BUILD_BENCH=OFF \
  -DTAGPORT_BUILD_JAVA=OFF >/dev/null
android_link=$(grep -E '^build libtagport\.so[^ ]*: ' "$android_dir/build.ninja" |
               cut -d: -f1)
android_soname=$(sed -n 's/^ *SONAME = \(libtagport\.so.*\)/\1/p' "$android_dir/build.ninja")
if [[ $android_link == "build libtagport.so" && $android_soname == libtagport.so ]]; then
  echo "Android: libtagport.so, soname libtagport.so, no versioned name"
else
  fail "Android builds '${android_link#build }' with soname '$android_soname'," \
       "not the plain libtagport.so"
fi
rm -rf "$android_dir"

if ((failures)); then
  exit 1
fi
echo "package: default install is the library ($soname, its file and link)" \
     "and its companion; the development package builds and runs a native" \
     "caller through find_package and pkg-config; Android keeps the plain name"
