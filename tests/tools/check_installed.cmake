# Installs the tool's component of the build into PREFIX and runs the
# installed tarvex-report, as a game's developer would, on REPORT.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    --component report_tool
  RESULT_VARIABLE _rc OUTPUT_QUIET)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${_rc}")
endif()
set(_tool "${PREFIX}/bin/tarvex-report")
if(NOT EXISTS "${_tool}")
  message(FATAL_ERROR "${_tool} was not installed")
endif()
execute_process(COMMAND "${_tool}" summary "${REPORT}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0 OR NOT _out MATCHES "Tool level")
  message(FATAL_ERROR "the installed tool failed (${_rc}):\n${_out}\n${_err}")
endif()
message("${_out}")
# The native timeline reader beside it, which it finds without being told.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TARVEX_TIMELINE
    "${_tool}" timeline "${TIMELINE}" --no-symbolize
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0 OR NOT _err STREQUAL "" OR NOT _out MATCHES "5 frames")
  message(FATAL_ERROR "the installed tool read no timeline with its reader (${_rc}):\n${_out}\n${_err}")
endif()
