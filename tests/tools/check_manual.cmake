# Renders the manual page with the warnings man asks groff for, and fails
# on any.
execute_process(COMMAND ${MAN} --warnings -E UTF-8 -l ${PAGE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE page ERROR_VARIABLE warnings)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man ${PAGE}: exit ${rc}\n${warnings}")
endif()
foreach(expected "tolvane encode" "tolvane decode" "EXIT STATUS")
  string(FIND "${page}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the rendered page lacks '${expected}'")
  endif()
endforeach()
