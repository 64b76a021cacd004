# Cross-builds for 32-bit x86 Linux (Debian: g++-i686-linux-gnu), so the
# tests run where size_t, long and off_t are 32 bits wide. The tests run
# under qemu-user (Debian: qemu-user); no binfmt_misc handler is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu)
# qemu-i386 spins forever in the child of fork() of a dynamically linked
# program, which is how the whole-run tests start the converter. Static
# programs fork cleanly.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
