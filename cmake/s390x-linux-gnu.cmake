# Cross-builds for 64-bit IBM Z Linux (Debian: g++-s390x-linux-gnu), a
# big-endian host: the sum and the table must come out byte for byte as on
# x86.
set(cross_processor s390x)
set(cross_triple s390x-linux-gnu)
set(cross_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
