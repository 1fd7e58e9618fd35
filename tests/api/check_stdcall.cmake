# Static checks of a 32-bit x86 Tolvane.dll, which this machine cannot run:
# each export pops its own arguments (ret $0x8 and ret $0x4, __stdcall),
# and a C host compiled against the header links with the import library.
#   cmake -DBUILD_DIR=... -DOBJDUMP=... -DC_COMPILER=... -DSOURCE_DIR=... -P check_stdcall.cmake
execute_process(COMMAND ${OBJDUMP} -d ${BUILD_DIR}/Tolvane.dll OUTPUT_VARIABLE code RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot disassemble ${BUILD_DIR}/Tolvane.dll")
endif()
foreach(export "Morse2WAV@8:0x8" "Wave2Morse@4:0x4")
  string(REPLACE ":" ";" fields "${export}")
  list(GET fields 0 symbol)
  list(GET fields 1 pop)
  string(FIND "${code}" "<_${symbol}>:" start)
  if(start LESS 0)
    message(FATAL_ERROR "no _${symbol} in the disassembly")
  endif()
  string(SUBSTRING "${code}" ${start} -1 body)
  # The function ends where the next label begins.
  string(FIND "${body}" "\n\n" end)
  string(SUBSTRING "${body}" 0 ${end} body)
  string(REGEX MATCHALL "ret[ \t]+\\$0x[0-9a-f]+" returns "${body}")
  list(REMOVE_DUPLICATES returns)
  string(REGEX REPLACE "[ \t]+" " " returns "${returns}")
  if(NOT returns STREQUAL "ret $${pop}")
    message(FATAL_ERROR "_${symbol} returns with: ${returns}")
  endif()
  message(STATUS "_${symbol}: ret $${pop}")
endforeach()

execute_process(COMMAND ${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror
                        -I${SOURCE_DIR}/include ${SOURCE_DIR}/tests/install/consumer.c
                        -L${BUILD_DIR} -lTolvane -o ${BUILD_DIR}/consumer.exe
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a __stdcall host does not link: ${err}")
endif()
message(STATUS "a C host links against the import library")
