# Runs one whole-process scenario (see tarvex_add_scenario):
#   1. a fresh WORKDIR, with INI copied in as tarvex.ini when given;
#   2. HOST started there (through EMULATOR when cross-compiled), with ARGS;
#   3. after it has exited, every pair "actual|expected" listed in the file
#      "compare.txt" that the host left behind is compared byte for byte.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
if(INI)
  configure_file("${INI}" "${WORKDIR}/tarvex.ini" COPYONLY)
endif()

# Scenario hosts leave blocks behind on purpose, for the leak report to
# find; the sanitizers' own leak check would call that a failure.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
set(ENV{TSAN_OPTIONS} "suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan.supp")

foreach(_pair IN LISTS ENVIRONMENT)
  string(REGEX MATCH "^([^=]+)=(.*)$" _m "${_pair}")
  set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
endforeach()

set(_cmd "${HOST}" ${ARGS})
if(EMULATOR)
  set(_cmd "${EMULATOR}" ${_cmd})
endif()
execute_process(COMMAND ${_cmd}
  WORKING_DIRECTORY "${WORKDIR}"
  RESULT_VARIABLE _rc
  OUTPUT_VARIABLE _out
  ERROR_VARIABLE _err)
file(WRITE "${WORKDIR}/stdout.txt" "${_out}")
file(WRITE "${WORKDIR}/stderr.txt" "${_err}")
message("${_out}")
if(NOT _rc EQUAL 0)
  message("${_err}")
  message(FATAL_ERROR "scenario host exited with ${_rc}")
endif()

if(EXISTS "${WORKDIR}/compare.txt")
  file(STRINGS "${WORKDIR}/compare.txt" _pairs)
  foreach(_pair IN LISTS _pairs)
    string(REPLACE "|" ";" _files "${_pair}")
    list(GET _files 0 _actual)
    list(GET _files 1 _expected)
    if(NOT EXISTS "${WORKDIR}/${_actual}")
      message(FATAL_ERROR "${_actual} was not written")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
      "${WORKDIR}/${_actual}" "${WORKDIR}/${_expected}" RESULT_VARIABLE _same)
    if(NOT _same EQUAL 0)
      file(READ "${WORKDIR}/${_actual}" _a)
      file(READ "${WORKDIR}/${_expected}" _e)
      message(FATAL_ERROR "${_actual} differs from ${_expected}\n--- written:\n${_a}\n--- expected:\n${_e}")
    endif()
  endforeach()
endif()
