# 64-bit ARM with Debian's cross compiler; programs run under qemu's user mode.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Through the environment rather than -L, so that programs the tests spawn
# find the target's libraries too.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env;QEMU_LD_PREFIX=/usr/aarch64-linux-gnu;/usr/bin/qemu-aarch64)
