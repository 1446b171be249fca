# 32-bit ARM Linux, hard-float (armeabi-v7a's instruction set) with Debian's
# cross g++.
set(TAGPORT_CROSS_TRIPLE arm-linux-gnueabihf)
set(TAGPORT_CROSS_PROCESSOR armv7-a)
set(TAGPORT_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
