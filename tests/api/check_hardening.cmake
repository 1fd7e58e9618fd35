# Reads a built ELF file back and checks that it is hardened: a relocation
# table made read-only after start-up (GNU_RELRO with BIND_NOW), the stack
# protector, and the fortified libc calls that a fortified build of this
# code uses instead of the plain ones.
#   -DFILE=... -DREADELF=... -DFORTIFIED="__memcpy_chk;..." [-DFORTIFY=ON]
execute_process(COMMAND ${READELF} -W -d -l --dyn-syms ${FILE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE elf ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf ${FILE}: ${err}")
endif()
set(wanted GNU_RELRO BIND_NOW __stack_chk_fail)
if(FORTIFY)
  list(APPEND wanted ${FORTIFIED})
endif()
foreach(what ${wanted})
  string(FIND "${elf}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${FILE} is not hardened: no ${what}")
  endif()
endforeach()
message(STATUS "${FILE}: ${wanted}")
