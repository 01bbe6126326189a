# Optimised builds are hardened as distributions harden their packages:
# position-independent, with stack canaries, fortified C library calls and
# relocations made read-only before the program starts.

option(XORFILE_HARDENING "Harden optimised builds" ON)
if(NOT XORFILE_HARDENING)
  return()
endif()

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
add_compile_options("$<${optimised}:-fstack-protector-strong>")
# Fortification needs optimisation.  A distribution's flags that choose a
# level win; a level the compiler defines on its own is replaced.
if(NOT "${CMAKE_CXX_FLAGS} ${XORFILE_CPPFLAGS}" MATCHES "_FORTIFY_SOURCE")
  add_compile_options("$<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_link_options("$<${optimised}:LINKER:-z,relro,-z,now>")
