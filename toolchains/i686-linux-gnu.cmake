# 32-bit x86 with the host's compiler and its 32-bit libraries; programs run
# natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The 32-bit C library's headers include <asm/...>, which only the host's
# kernel headers provide; they are the same for both.
set(asm_headers ${CMAKE_BINARY_DIR}/m32-include)
file(MAKE_DIRECTORY ${asm_headers})
file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${asm_headers}/asm SYMBOLIC)
set(CMAKE_CXX_FLAGS_INIT "-m32 -idirafter ${asm_headers}")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
