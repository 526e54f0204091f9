# The stack of walk_host's leak (see walk_host.cpp). REACHES_MAIN says whether
# the walk must go through the host's frames up to main (the safe walk, and
# every walk on POSIX) or must not (the frame-pointer walk on Windows, which
# stops at the first function that keeps no frame pointer).
include(${CMAKE_CURRENT_LIST_DIR}/../support/expect_match.cmake)

set(report MemLeaks_walk_host.xml)
file(READ "${WORKDIR}/${report}" content)
string(REGEX MATCHALL "Function=\"[^\"]*\"" functions "${content}")
string(REPLACE "Function=" "" functions "${functions}")
if(REACHES_MAIN)
  expect(${report} "Function=\"walk_allocate[^\n]*\n[^\n]*Function=\"walk_inner[^\n]*\n[^\n]*Function=\"walk_middle[^\n]*\n[^\n]*Function=\"walk_outer[^\n]*\n[^\n]*Function=\"main")
elseif(content MATCHES "Function=\"(walk_middle|walk_outer|main)\"")
  message(FATAL_ERROR "the frame-pointer walk went past a function without a frame pointer: ${functions}")
endif()
