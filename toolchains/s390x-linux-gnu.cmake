# 64-bit IBM Z, big-endian, with Debian's cross compiler; programs run under
# qemu's user mode.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
# Through the environment rather than -L, so that programs the tests spawn
# find the target's libraries too.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env;QEMU_LD_PREFIX=/usr/s390x-linux-gnu;/usr/bin/qemu-s390x)
