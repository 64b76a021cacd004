# Cross-builds for 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu), such as
# a Raspberry Pi 3 or later beside the programmer: the archive for ARM hosts.
set(cross_processor aarch64)
set(cross_triple aarch64-linux-gnu)
set(cross_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
