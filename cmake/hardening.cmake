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
# Fortification needs optimisation.  A level chosen by the distribution's
# flags, or one the compiler defines on its own (Ubuntu's gcc sets 3), is
# left as it is.
execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_ARG1} -O2 -dM -E -x c++ /dev/null
  OUTPUT_VARIABLE predefined ERROR_QUIET)
if(NOT "${CMAKE_CXX_FLAGS} ${XORFILE_CPPFLAGS} ${predefined}" MATCHES "_FORTIFY_SOURCE")
  add_compile_options("$<${optimised}:-D_FORTIFY_SOURCE=2>")
endif()
add_link_options("$<${optimised}:LINKER:-z,relro,-z,now>")
