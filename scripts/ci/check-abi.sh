#!/usr/bin/env bash
# Usage: scripts/ci/check-abi.sh LIBRARY [NM] [READELF]
#
# Checks what a built libtagport.so, or its companion libtagport_outcome.so,
# shows to the loader:
#   - the dynamic symbols it defines are exactly the names in its version
#     script (libtagport.map; outcome/libtagport_outcome.map);
#   - it needs libc alone (no C++ runtime, no libgcc_s); the companion needs
#     libtagport.so and at most libc besides;
#   - libtagport.so names itself libtagport.so (Android) or
#     libtagport.so.<major> (Linux), the name programs linked with it record;
#     the companion, loaded by name alone, libtagport_outcome.so;
#   - it is bound at load (BIND_NOW), so relro covers the GOT;
#   - its LOAD segments are aligned to 16 KiB, as 16 KiB-page devices need;
#   - it calls no allocator and nothing of the C++ runtime: the library
#     promises no heap, no exceptions and no C++ runtime, and an undefined
#     symbol of either kind is where a new use of them shows.
#
# Options:
#   LIBRARY      the built library, e.g. build/libtagport.so or
#                build/libtagport_outcome.so
#   NM, READELF  the target's binutils for a cross-built library (default
#                nm and readelf), e.g. aarch64-linux-gnu-nm
#   -h, --help   show this text
set -euo pipefail
source "$(dirname "$0")/../lib/usage.sh"
answer_help "$@"
reject_options "$@"
(($# >= 1 && $# <= 3)) || usage_error "wants a library, and optionally nm and readelf"

lib=$1
nm_tool=${2:-nm}
readelf_tool=${3:-readelf}
root=$(cd "$(dirname "$0")/../.." && pwd)
# The libraries besides the C library that each may need.
case $(basename "$lib") in
  libtagport_outcome.so*)
    map=$root/outcome/libtagport_outcome.map
    needs='libtagport\.so(\.[0-9.]+)?'
    own_name='libtagport_outcome\.so'
    ;;
  *)
    map=$root/libtagport.map
    needs=
    own_name='libtagport\.so(\.[0-9]+)?'
    ;;
esac
failures=0

fail() {
  echo "check-abi: $lib: $*" >&2
  failures=$((failures + 1))
}

[[ -f "$lib" ]] || { echo "check-abi: FAILED: no such file: $lib" >&2; exit 2; }

# Names between "global:" and "local:", one per line, without the ';'.
expected=$(sed -n '/global:/,/local:/p' "$map" |
           sed -e 's#/\*.*\*/##' -e 's/[[:space:]]//g' |
           grep -v -e '^global:' -e '^local:' -e '^$' | tr -d ';' | sort)
actual=$("$nm_tool" -D --defined-only "$lib" | awk 'NF >= 3 {print $3}' |
         sed 's/@.*//' | sort)
if [[ -z "$expected" ]]; then
  fail "$(basename "$map") lists no names"
fi
if [[ "$actual" != "$expected" ]]; then
  fail "exported names differ from $(basename "$map") (< map, > library):"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

dynamic=$("$readelf_tool" -d -W "$lib")
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | sort)
# glibc names its C library libc.so.6; bionic and musl plain libc.so. On
# ARM glibc keeps the stack-protector guard (__stack_chk_guard) in its
# dynamic loader, so -fstack-protector code there needs ld-linux-aarch64.so.1
# or ld-linux-armhf.so.3 as well: that is still the C library (same package,
# same version), not another runtime. Bionic reads the guard from TLS on
# arm64 and x86, but on armeabi-v7a the library imports the global
# __stack_chk_guard, which bionic's libc.so defines: NEEDED stays libc.so
# there, and the import is the C library's like any other.
# The companion's own code calls libtagport.so alone, so with --as-needed it
# may need no libc at all.
libc='libc\.so(\.6)?'
loader='ld-linux-(aarch64\.so\.1|armhf\.so\.3)'
if [[ -z $needs ]]; then
  if [[ -z "$needed" ]] || ! grep -qxE "$libc" <<<"$needed" ||
     grep -qvxE "$libc|$loader" <<<"$needed"; then
    fail "NEEDED should be libc alone, is: $(echo $needed)"
  fi
elif ! grep -qxE "$needs" <<<"$needed" ||
     grep -qvxE "$needs|$libc|$loader" <<<"$needed"; then
  fail "NEEDED should be libtagport.so and at most libc, is: $(echo $needed)"
fi
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
if ! [[ $soname =~ ^${own_name}$ ]]; then
  fail "SONAME should match ${own_name//\\/}, is: '$soname'"
fi
if ! grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic"; then
  fail "not linked with -z now (no BIND_NOW)"
fi

alignments=$("$readelf_tool" -l -W "$lib" | awk '$1 == "LOAD" {print $NF}')
if [[ -z "$alignments" ]]; then
  fail "no LOAD segments"
fi
for alignment in $alignments; do
  if [[ "$((alignment))" -ne $((0x4000)) ]]; then
    fail "LOAD segment aligned to $alignment, 0x4000 expected"
  fi
done

# Allocators of libc, operator new/delete (_Znw*, _Zna*, _Zdl*, _Zda*), and
# the C++ runtime: exception and guard support (__cxa_*), the personality
# routine, the unwinder's resume, and anything of namespace std.
forbidden='^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|_Zn.*|_Zd.*|__cxa_.*|__gxx_personality.*|_Unwind_Resume|_ZNSt.*|_ZSt.*)$'
# Two __cxa_ names belong to the C library itself (glibc, bionic and musl
# alike), and the start files linked into every shared library refer to
# them to run its exit handlers: __cxa_finalize and __cxa_atexit.
undefined=$("$nm_tool" -D --undefined-only "$lib" | awk '{print $NF}' |
            sed 's/@.*//' | { grep -vxE '__cxa_(finalize|atexit)' || true; } |
            sort -u)
if forbidden_found=$(grep -E "$forbidden" <<<"$undefined"); then
  fail "uses the heap or the C++ runtime: ${forbidden_found//$'\n'/ }"
fi

if ((failures)); then
  echo "check-abi: FAILED: $lib: $failures of its checks (above)"
  exit 1
fi
echo "check-abi: $lib: $(wc -l <<<"$actual") exports as mapped," \
     "SONAME $soname, NEEDED $(echo $needed), BIND_NOW, LOAD align 0x4000," \
     "$(wc -l <<<"$undefined") imports, none an allocator or C++ runtime"
