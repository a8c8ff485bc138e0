# sedgec_generate(<target> OUT <dir> LIST <args...> GENERATE <args...> DEPENDS <files...>
#                 WHAT <text> OUTPUTS_VAR <var>)
#
# Runs sedgec at build time into <dir> and defines <target> to wait for it. The list of files it
# writes is asked of sedgec itself at configure time (`sedgec <LIST args>`), so that the two never
# drift apart; <var> receives their paths. sedgec rewrites only files whose content changed, and as
# byproducts (restat under Ninja) unchanged files trigger no recompile.
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

function(sedgec_generate target)
  cmake_parse_arguments(S "" "OUT;WHAT;OUTPUTS_VAR" "LIST;GENERATE;DEPENDS" ${ARGN})
  execute_process(
    COMMAND ${Python3_EXECUTABLE} -m sedgec ${S_LIST}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE outputs ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "sedgec could not read ${S_WHAT}:\n${errors}")
  endif()
  string(STRIP "${outputs}" outputs)
  string(REPLACE "\n" ";" files "${outputs}")
  list(TRANSFORM files PREPEND ${S_OUT}/)
  file(GLOB_RECURSE generator CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/sedgec/*.py ${PROJECT_SOURCE_DIR}/sedgec/templates/*.j2)
  add_custom_command(
    OUTPUT ${S_OUT}/sedgec.stamp
    BYPRODUCTS ${files}
    COMMAND ${Python3_EXECUTABLE} -m sedgec ${S_GENERATE} --out ${S_OUT}
    COMMAND ${CMAKE_COMMAND} -E touch ${S_OUT}/sedgec.stamp
    DEPENDS ${S_DEPENDS} ${generator}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "sedgec: generating from ${S_WHAT}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${S_OUT}/sedgec.stamp)
  set(${S_OUTPUTS_VAR} ${files} PARENT_SCOPE)
endfunction()
