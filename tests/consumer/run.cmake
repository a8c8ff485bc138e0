# Installs the build tree BUILD into a fresh prefix under WORK, then builds and runs the
# consumer project against it: through find_package(TarnTypes) at a newer standard than the
# package's minimum, through pkg-config with an rpath and without LD_LIBRARY_PATH, below the
# minimum (which must stop with the headers' #error), and with clang (CLANG, when given) at
# -Wall -Wextra -Werror through the installed headers as ordinary headers. Every installed
# library finds its own dependencies from the prefix alone; a program that finds the types
# only by name keeps the library under --as-needed; and the example HTTPS server and client
# (EXAMPLES, run by PYTHON) are built both ways and talk to each other.
# Fails unless the last run printed a __cplusplus above C++20's: the standard asked for was kept.
function(expect_newer_standard what)
  if(NOT last_output MATCHES "__cplusplus ([0-9]+)" OR NOT CMAKE_MATCH_1 GREATER 202002)
    message(FATAL_ERROR "${what}: the program was not compiled at the standard asked for:\n${last_output}")
  endif()
endfunction()

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
             bin/tarn-inspect lib/libquill-wire.so lib/libquill-http.so lib/libquill-http-server.so
             lib/pkgconfig/quill-wire.pc lib/pkgconfig/quill-http.pc lib/pkgconfig/quill-http-server.pc
             lib/libquill-tasks.so lib/pkgconfig/quill-tasks.pc include/quill/tasks/Tasks.h
             include/quill/http/HttpAdapter.h include/quill/http/HttpServer.h include/quill/wire/Wire.h
             lib/libquill-query.so lib/libquill-query-client.so lib/libquill-query-tree.so
             lib/pkgconfig/quill-query.pc lib/pkgconfig/quill-query-client.pc lib/pkgconfig/quill-query-tree.pc
             include/quill/query/QueryService.h include/quill/query/Client.h include/quill/query/FolderTree.h)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(EXISTS ${prefix}/include/tarn/internal)
  message(FATAL_ERROR "the library's internal headers were installed")
endif()

# Each installed library and program finds every library of ours it needs from the prefix
# alone (its run path), without LD_LIBRARY_PATH.
file(GLOB installed ${prefix}/lib/*.so ${prefix}/bin/*)
foreach(binary ${installed})
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ldd ${binary})
  if(last_output MATCHES "([^\n\t ]+) => not found")
    message(FATAL_ERROR "${binary} does not find ${CMAKE_MATCH_1}:\n${last_output}")
  endif()
endforeach()

# The example server and client, over TLS with a pinned thumbprint.
function(run_remote what server client)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${PYTHON} ${EXAMPLES}/run_example.py --tls ${server} ${client})
  if(NOT last_output MATCHES "stopped after [1-9]")
    message(FATAL_ERROR "${what}: the example server answered no call:\n${last_output}")
  endif()
  message(STATUS "${what}: the HTTPS server and client built from the prefix talked")
endfunction()

# The installed tool runs from the prefix alone.
run(${prefix}/bin/tarn-inspect show tarn.AboutInfo)
if(NOT last_output MATCHES "wsdl name +AboutInfo")
  message(FATAL_ERROR "the installed tarn-inspect printed:\n${last_output}")
endif()

# CMake package, at C++23: the package states a minimum and must not lower it.
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/cmake-build -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_STANDARD=23 -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}" -DEXAMPLES=${EXAMPLES})
run(${CMAKE_COMMAND} --build ${WORK}/cmake-build)
run(${WORK}/cmake-build/consumer)
expect_newer_standard("find_package at C++23")
message(STATUS "find_package: ${last_output}")
run(${WORK}/cmake-build/by-name)
message(STATUS "find_package, --as-needed: ${last_output}")
run_remote("find_package" ${WORK}/cmake-build/remote-server ${WORK}/cmake-build/remote-client)

# pkg-config: the flags name no standard; the program picks C++23 (c++2b: clang 14's name) and, linked with an rpath
# to the library directory as the README shows, runs without LD_LIBRARY_PATH.
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig)
run(${pc_env} pkg-config --cflags --libs tarn-types)
string(STRIP "${last_output}" pc_flags)
if(pc_flags MATCHES "-std=")
  message(FATAL_ERROR "pkg-config forces a standard: ${pc_flags}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run(${pc_env} pkg-config --cflags tarn-types)
string(STRIP "${last_output}" pc_cflags)
separate_arguments(pc_cflags UNIX_COMMAND "${pc_cflags}")
run(${pc_env} pkg-config --variable=libdir tarn-types)
string(STRIP "${last_output}" pc_libdir)
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
set(sources ${SOURCE}/consumer.cc ${SOURCE}/headers.cc)
run(${CXX} -std=c++2b ${extra} ${sources} ${pc_flags} -Wl,-rpath,${pc_libdir} -o ${WORK}/consumer-pc)
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK}/consumer-pc)
expect_newer_standard("pkg-config with -std=c++2b")
message(STATUS "pkg-config: ${last_output}")

# Types by name under --as-needed, and the HTTPS server and client, each linked with the
# flags of the packages it uses and the rpath above, nothing else.
run(${CXX} -std=c++20 ${extra} -Wl,--as-needed ${SOURCE}/by_name.cc ${pc_flags} -Wl,-rpath,${pc_libdir}
    -o ${WORK}/by-name-pc)
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK}/by-name-pc)
message(STATUS "pkg-config, --as-needed: ${last_output}")
foreach(program server client)
  if(program STREQUAL "server")
    run(${pc_env} pkg-config --cflags --libs tarn-types quill-http-server quill-tasks quill-query)
  else()
    run(${pc_env} pkg-config --cflags --libs tarn-types quill-http quill-tasks)
  endif()
  string(STRIP "${last_output}" remote_flags)
  separate_arguments(remote_flags UNIX_COMMAND "${remote_flags}")
  run(${CXX} -std=c++20 ${extra} ${EXAMPLES}/${program}.cc ${remote_flags} -Wl,-rpath,${pc_libdir}
      -o ${WORK}/remote-${program}-pc)
endforeach()
run_remote("pkg-config" ${WORK}/remote-server-pc ${WORK}/remote-client-pc)

# Below the minimum the headers say why, at the first of them.
execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only ${SOURCE}/consumer.cc ${pc_flags}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "needs C\\+\\+20 or later")
  message(FATAL_ERROR "C++17 was not refused with the headers' message (${status}):\n${err}")
endif()

# clang, warnings as errors, the installed headers as ordinary -I headers (pkg-config's).
# Under a sanitizer the libraries are GCC's instrumented ones: compile only.
if(NOT CLANG)
  message(FATAL_ERROR "clang++ was not found (Debian package clang): the headers' clang check cannot run")
endif()
if(CLANG)
  set(strict -std=c++20 -Wall -Wextra -Werror)
  if(FLAGS)
    foreach(source ${sources})
      get_filename_component(name ${source} NAME_WE)
      run(${CLANG} ${strict} -c ${source} ${pc_cflags} -o ${WORK}/${name}-clang.o)
    endforeach()
  else()
    run(${CLANG} ${strict} ${sources} ${pc_flags} -Wl,-rpath,${pc_libdir} -o ${WORK}/consumer-clang)
    run(${WORK}/consumer-clang)
  endif()
  message(STATUS "clang -Werror: ${last_output}")
endif()
