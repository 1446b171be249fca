# Warnings, hardening and optional instrumentation shared by every target.

# Our scripts and CI turn warnings into errors; a user's build must not break
# on a warning that a newer or older compiler finds.
option(TAGPORT_WERROR "Treat warnings as errors (scripts and CI turn it on)"
       OFF)
# For targets that set their own warning flags, C or javac alike.
set(TAGPORT_WERROR_FLAG "")
if(TAGPORT_WERROR)
  set(TAGPORT_WERROR_FLAG -Werror)
endif()

# GCC for 32-bit ARM notes where the passing of a parameter's type (a
# std::vector iterator, say) "changed in GCC 7.1" (-Wpsabi): that matters
# only to code linked with objects of a GCC before 7.1. Everything here is
# built by one compiler, and the library's exports take no such type, so
# the notes are noise that hides real warnings.
set(TAGPORT_PSABI_FLAG "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(TAGPORT_PSABI_FLAG -Wno-psabi)
endif()

function(tagport_harden target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra ${TAGPORT_WERROR_FLAG} -Wshadow -Wconversion
    -Wno-sign-conversion ${TAGPORT_PSABI_FLAG} -fstack-protector-strong)
  # _FORTIFY_SOURCE needs optimisation, and a toolchain may predefine it.
  target_compile_options(${target} PRIVATE
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE
    -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack
    -Wl,-z,max-page-size=16384)
endfunction()

# A library that ships: exactly the names of its version script `map`
# exported, and no C++ runtime. Linking with the C driver keeps libstdc++
# out of NEEDED; the sources use no exceptions, RTTI or library facilities
# that need the C++ runtime. Unwind tables stay: they need no runtime, and
# crash reports on a device walk them for backtraces through the library.
function(tagport_exports_only target map)
  set_target_properties(${target} PROPERTIES
    LINKER_LANGUAGE C
    LINK_DEPENDS ${map})
  target_compile_options(${target} PRIVATE
    -fvisibility=hidden -fno-exceptions -fno-rtti)
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${map}
    -Wl,--no-undefined-version
    -Wl,--as-needed)
  # Sanitizer runtimes are resolved from the executable, not the library.
  if(NOT TAGPORT_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

if(TAGPORT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # A program that does not start with the ASan runtime (a JVM) has to
  # preload it; tests that load the library into one use this path. Clang
  # links its runtime statically into executables, but ships a shared one
  # for such preloading.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(_tagport_asan_runtime_name
        libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
  else()
    set(_tagport_asan_runtime_name libasan.so)
  endif()
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_tagport_asan_runtime_name}
    OUTPUT_VARIABLE _tagport_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(TAGPORT_ASAN_RUNTIME "${_tagport_asan_runtime}"
                         REALPATH)
endif()

if(TAGPORT_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
