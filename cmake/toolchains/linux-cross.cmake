# Shared part of the ARM Linux toolchain files. The including file sets
# TAGPORT_CROSS_TRIPLE, TAGPORT_CROSS_PROCESSOR and TAGPORT_CROSS_QEMU.
# Debian's cross packages provide the compilers and the target's libc under
# /usr/<triple>; qemu-user runs the target programs, so CTest and the
# discovery of GoogleTest cases work as on the host.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TAGPORT_CROSS_PROCESSOR})

set(TAGPORT_CROSS_SYSROOT "/usr/${TAGPORT_CROSS_TRIPLE}" CACHE PATH
    "Root of the target's libraries, used by the linker search and qemu")

set(CMAKE_C_COMPILER ${TAGPORT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAGPORT_CROSS_TRIPLE}-g++)

# Searches stay inside the roots, so the host's own libraries and packages
# never stand in for the target's: the target's libc under the sysroot, and
# a prefix the user installed a package for the target to (this project's,
# say), named the way CMake users name one: -DCMAKE_FIND_ROOT_PATH=<prefix>
# or -DCMAKE_PREFIX_PATH=<prefix>. A prefix among the roots is searched as
# it is, not re-rooted under the sysroot.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH} "${TAGPORT_CROSS_SYSROOT}")
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${TAGPORT_CROSS_QEMU} -L
    "${TAGPORT_CROSS_SYSROOT}")
