# What the C consumer leaves behind (see consumer.c): the exit-time leak
# report REPORT lists exactly its one deliberate leak, with the consumer's
# own function in the stack, and its C log sink received the report's lines.
include(${CMAKE_CURRENT_LIST_DIR}/../support/expect_match.cmake)

expect(${REPORT} "<Allocations Count=\"1\" />")
expect(${REPORT} "<Context Name=\"C heap\" Id=\"0x7300\" Fragments=\"1\" SizeAccumulation=\"40\" MemUsage=\"40\"")
expect(${REPORT} "<Fragment AllocId=\"[0-9]+\" Adress=\"0x[0-9a-f]+\" Size=\"40\" Info=\"deliberate leak\">")
expect(${REPORT} "<Entry Depth=\"[0-9]+\" Adress=\"0x[0-9a-f]+\" Module=\"[^\"]*\" Function=\"consumer_leak\"")
expect(${REPORT} "<Counter Name=\"frames\" Id=\"0x[0-9a-f]+\" Count=\"2\" Peek=\"5\" />")
file(READ "${WORKDIR}/${REPORT}" content)
string(REGEX MATCHALL "<Fragment " fragments "${content}")
list(LENGTH fragments count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${REPORT} lists ${count} fragments, not the one leak:\n${content}")
endif()

expect(log.txt "Tarvex: ERROR: Context not set\n")
expect(log.txt "Tarvex: Dumping mem leaks to file: ${REPORT}\n")
expect(log.txt "Tarvex: Dump finished\n$")
