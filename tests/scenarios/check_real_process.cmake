# What the real process left after its exit: the exit report, written by the
# detach that ended the process although a library had started Tarvex
# before, lists the game's leak; the timeline reads to its end; the log file
# holds the warning the game caused while its sink was silenced.
file(GLOB reports "${WORKDIR}/MemLeaks_*.xml")
if(NOT reports)
  message(FATAL_ERROR "no exit report was written")
endif()
file(READ "${reports}" report)
if(NOT report MATCHES "Size=\"4242\"")
  message(FATAL_ERROR "the exit report does not list the game's leak:\n${report}")
endif()

execute_process(COMMAND "${PYTHON}" "${TOOL}" timeline "${WORKDIR}/timeline.bin"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR err MATCHES "warning")
  message(FATAL_ERROR "the timeline does not read to its end (${rc}):\n${err}\n${out}")
endif()
if(NOT out MATCHES "; 51 frames")
  message(FATAL_ERROR "the timeline lacks the run's frames:\n${out}")
endif()

file(READ "${WORKDIR}/tarvex.log" log)
set(warning "Tarvex: WARNING: Context 0x00006a3e exists as type 0 flags 0x1; type 1 flags 0x1 ignored\n")
string(FIND "${log}" "${warning}" first)
string(FIND "${log}" "${warning}" last REVERSE)
if(first EQUAL -1 OR NOT first EQUAL last)
  message(FATAL_ERROR "tarvex.log holds the warning other than once:\n${log}")
endif()
