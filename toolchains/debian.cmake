# Any Debian architecture listed in `targets`, named by XORFILE_ARCH (arm64,
# armhf, ...): Debian's cross compiler, with programs run under qemu's user
# mode.  i386 is built by the host's compiler in its 32-bit mode instead, and
# runs natively where the kernel can run 32-bit x86 programs.
if(NOT XORFILE_ARCH)
  set(XORFILE_ARCH "$ENV{XORFILE_ARCH}")
endif()
# Checks of the compiler run with this file too and need the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XORFILE_ARCH)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/targets row REGEX "^${XORFILE_ARCH} ")
if(NOT XORFILE_ARCH OR NOT row)
  message(FATAL_ERROR "Set XORFILE_ARCH to an architecture in ${CMAKE_CURRENT_LIST_DIR}/targets")
endif()
string(REGEX REPLACE " +" ";" row "${row}")
list(GET row 1 triplet)
list(GET row 2 qemu)
string(REGEX MATCH "^[^-]+" processor ${triplet})

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

if(XORFILE_ARCH STREQUAL "i386")
  set(CMAKE_CXX_COMPILER g++)
  # The 32-bit C library's headers include <asm/...>, which only the host's
  # kernel headers provide; they are the same for both.
  set(asm_headers ${CMAKE_BINARY_DIR}/m32-include)
  file(MAKE_DIRECTORY ${asm_headers})
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${asm_headers}/asm SYMBOLIC)
  set(CMAKE_CXX_FLAGS_INIT "-m32 -idirafter ${asm_headers}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
  # qemu is registered for 32-bit x86 only where the kernel cannot run it.
  if(EXISTS /proc/sys/fs/binfmt_misc/qemu-i386)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386)
  endif()
else()
  set(CMAKE_CXX_COMPILER ${triplet}-g++)
  # Through the environment rather than -L, so that programs the tests spawn
  # find the target's libraries too.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env;QEMU_LD_PREFIX=/usr/${triplet};/usr/bin/qemu-${qemu})
endif()
