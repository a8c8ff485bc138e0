# Checks libtarn-types against its size budget: the number of exported symbols, and the size
# of the library once stripped. The ceilings are a few per cent above what the library measures
# today (see docs/data-layout.md); raise one only with the reason in the commit.
#   cmake -DLIB=<library> -DCONFIG=<build type> -DSANITIZE=<sanitizer or empty> -DNM=<nm>
#         -DSTRIP=<strip> -DWORK=<dir> -P size_budget.cmake
set(max_exported 70000)
# Stripped size by build type: unoptimised code is larger; a sanitizer's instrumentation
# says nothing about the library's own size, so those builds check the symbols only.
if(CONFIG STREQUAL "Debug")
  set(max_stripped_bytes 22600000)
else()
  set(max_stripped_bytes 18000000)
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIB}")
endif()
# A sanitizer's own markers are not the library's.
string(REGEX REPLACE "[^\n]* __(odr_asan|asan|tsan|ubsan)[^\n]*\n" "" syms "${syms}")
string(REGEX MATCHALL "\n" lines "${syms}")
list(LENGTH lines count)

if(SANITIZE)
  message(STATUS "libtarn-types (${CONFIG}, ${SANITIZE}): ${count} exported symbols (ceiling ${max_exported})")
  if(count GREATER max_exported)
    message(FATAL_ERROR "libtarn-types exports ${count} symbols, more than its budget of ${max_exported}")
  endif()
  return()
endif()

set(stripped ${WORK}/libtarn-types.stripped)
execute_process(COMMAND ${STRIP} -o ${stripped} ${LIB} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${STRIP} could not strip ${LIB}")
endif()
file(SIZE ${stripped} bytes)
file(REMOVE ${stripped})

message(STATUS "libtarn-types (${CONFIG}): ${count} exported symbols (ceiling ${max_exported}), "
               "${bytes} bytes stripped (ceiling ${max_stripped_bytes})")
if(count GREATER max_exported)
  message(FATAL_ERROR "libtarn-types exports ${count} symbols, more than its budget of ${max_exported}")
endif()
if(bytes GREATER max_stripped_bytes)
  message(FATAL_ERROR "libtarn-types is ${bytes} bytes stripped, more than its budget of ${max_stripped_bytes}")
endif()
