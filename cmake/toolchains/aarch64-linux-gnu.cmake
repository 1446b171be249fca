# 64-bit ARM Linux (arm64-v8a's instruction set) with Debian's cross g++.
set(TAGPORT_CROSS_TRIPLE aarch64-linux-gnu)
set(TAGPORT_CROSS_PROCESSOR aarch64)
set(TAGPORT_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
