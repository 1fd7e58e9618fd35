# Installs the build into a scratch prefix, checks what landed there, and
# builds and runs a C host against it twice: through find_package(Tolvane)
# and through pkg-config.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE libs ${prefix}/*/libtolvane.so)
file(GLOB_RECURSE configs ${prefix}/*/TolvaneConfig.cmake)
file(GLOB_RECURSE pcs ${prefix}/*/tolvane.pc)
foreach(what libs configs pcs)
  list(LENGTH ${what} n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one of ${what} under ${prefix}, found: ${${what}}")
  endif()
endforeach()
foreach(file include/tolvane/tolvane.h bin/tolvane)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "missing ${prefix}/${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
# A sanitized library needs its runtime preloaded into the plain C host.
set(host_env ${CMAKE_COMMAND} -E env)
if(PRELOAD)
  list(APPEND host_env LD_PRELOAD=${PRELOAD})
endif()
run(${host_env} ${WORK_DIR}/consumer/consumer ${WORK_DIR}/sos-cmake.wav)

get_filename_component(pcdir ${pcs} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
execute_process(COMMAND pkg-config --cflags --libs tolvane
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know tolvane")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
get_filename_component(libdir ${libs} DIRECTORY)
run(${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror ${CONSUMER_DIR}/consumer.c ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-pc)
run(${host_env} ${WORK_DIR}/consumer-pc ${WORK_DIR}/sos-pkgconfig.wav)

# The README's own examples, as written, with the library found the way the
# README says (LD_LIBRARY_PATH for a prefix outside the system's).
# The preloaded runtime then also watches python, the shell and the compiler,
# whose own leaks at exit are not ours.
if(PYTHON)
  if(PRELOAD)
    list(APPEND host_env ASAN_OPTIONS=detect_leaks=0)
  endif()
  run(${host_env} ${PYTHON} ${CONSUMER_DIR}/readme_examples.py ${README} ${prefix} ${C_COMPILER})
endif()
