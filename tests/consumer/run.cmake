# Installs the build tree BUILD into a fresh prefix under WORK, then builds and runs the
# consumer project against it twice: through find_package(TarnTypes) and through pkg-config.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${cmd}\n${out}${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
foreach(path lib/libtarn-types.so lib/libquill.so include/tarn/AboutInfo.h include/quill/Type.h
             include/basalt/Object.h lib/cmake/TarnTypes/TarnTypesConfig.cmake lib/pkgconfig/tarn-types.pc
             bin/tarn-inspect)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(EXISTS ${prefix}/include/tarn/internal)
  message(FATAL_ERROR "the library's internal headers were installed")
endif()

# The installed tool runs from the prefix alone.
run(${prefix}/bin/tarn-inspect show tarn.AboutInfo)
if(NOT last_output MATCHES "wsdl name +AboutInfo")
  message(FATAL_ERROR "the installed tarn-inspect printed:\n${last_output}")
endif()

# CMake package
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/cmake-build -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/cmake-build)
run(${WORK}/cmake-build/consumer)
message(STATUS "find_package: ${last_output}")

# pkg-config
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig pkg-config --cflags --libs tarn-types)
string(STRIP "${last_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
run(${CXX} ${extra} ${SOURCE}/consumer.cc ${pc_flags} -o ${WORK}/consumer-pc)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK}/consumer-pc)
message(STATUS "pkg-config: ${last_output}")
