# x86_64 Linux with musl as the C library (Debian's musl-dev), built by
# clang. Bionic is not glibc either: a library that builds, links and runs
# against a second C library cannot have come to depend on glibc-only calls
# or headers.
#
# musl-dev puts its headers in /usr/include/x86_64-linux-musl and its start
# files and libc.so in /usr/lib/x86_64-linux-musl, not as a sysroot, so the
# compiler is kept away from the host's glibc headers and libraries and led
# to musl's by hand. Clang's own headers (stddef.h, stdarg.h, ...) stay.
# Only C headers are available: no C++ standard library is built for musl.
# Programs get musl's dynamic loader as their interpreter.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAGPORT_MUSL_TRIPLE x86_64-linux-musl)
set(TAGPORT_MUSL_INCLUDE_DIR "/usr/include/${TAGPORT_MUSL_TRIPLE}" CACHE PATH
    "musl's C headers")
set(TAGPORT_MUSL_LIB_DIR "/usr/lib/${TAGPORT_MUSL_TRIPLE}" CACHE PATH
    "musl's start files and libc")
set(TAGPORT_MUSL_LOADER /lib/ld-musl-x86_64.so.1 CACHE FILEPATH
    "musl's dynamic loader, the interpreter of musl programs")

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TAGPORT_MUSL_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAGPORT_MUSL_TRIPLE})

set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem ${TAGPORT_MUSL_INCLUDE_DIR}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ ${CMAKE_C_FLAGS_INIT}")

# Without the driver's defaults (glibc's start files, libgcc_s, glibc's
# libc), each link names musl's pieces itself: libc and the compiler's
# builtins, and the start file for programs. lld, the linker of the Android
# NDK too, finds what an object needs in a library named anywhere on the
# line, so they can stand with the flags and reach every link, CMake's own
# probes included. musl's crti.o/crtn.o only frame the legacy .init/.fini
# sections, which nothing here uses.
execute_process(
  COMMAND ${CMAKE_C_COMPILER} --target=${TAGPORT_MUSL_TRIPLE}
          --rtlib=compiler-rt -print-libgcc-file-name
  OUTPUT_VARIABLE TAGPORT_MUSL_BUILTINS OUTPUT_STRIP_TRAILING_WHITESPACE)
# The compile-only flags above reach the link line too.
set(_tagport_musl_link "-fuse-ld=lld -nostdlib -Wno-unused-command-line-argument")
string(APPEND _tagport_musl_link
       " -L${TAGPORT_MUSL_LIB_DIR} -lc ${TAGPORT_MUSL_BUILTINS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tagport_musl_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_tagport_musl_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tagport_musl_link} ${TAGPORT_MUSL_LIB_DIR}/Scrt1.o")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT
       " -Wl,--dynamic-linker=${TAGPORT_MUSL_LOADER}")
