# Cross-builds for 32-bit x86 Linux (Debian: g++-i686-linux-gnu), so the
# tests run where size_t, long and off_t are 32 bits wide.
set(cross_processor i686)
set(cross_triple i686-linux-gnu)
set(cross_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# qemu-i386 spins forever in the child of fork() of a dynamically linked
# program, which is how the whole-run tests start the converter. Static
# programs fork cleanly.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
