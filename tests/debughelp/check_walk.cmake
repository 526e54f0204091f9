# The stack of walk_host's leak (see walk_host.cpp). REACHES_MAIN says whether
# the walk must go through the host's frames up to main (the safe walk, and
# every walk on POSIX) or must not (the frame-pointer walk on Windows, which
# stops at the first function that keeps no frame pointer). A walk that stops
# there is marked cut after its last Entry; on POSIX (FIRST_FRAME_KNOWN), where
# the C runtime marks the process's first frame, one that reaches it is not.
include(${CMAKE_CURRENT_LIST_DIR}/../support/expect_match.cmake)

set(report MemLeaks_walk_host.xml)
file(READ "${WORKDIR}/${report}" content)
string(REGEX MATCHALL "Function=\"[^\"]*\"" functions "${content}")
string(REPLACE "Function=" "" functions "${functions}")
if(REACHES_MAIN)
  expect(${report} "Function=\"walk_allocate[^\n]*\n[^\n]*Function=\"walk_inner[^\n]*\n[^\n]*Function=\"walk_middle[^\n]*\n[^\n]*Function=\"walk_outer[^\n]*\n[^\n]*Function=\"main")
  if(FIRST_FRAME_KNOWN AND content MATCHES "<Cut")
    message(FATAL_ERROR "a walk that reached main is marked cut:\n${content}")
  endif()
else()
  if(content MATCHES "Function=\"(walk_middle|walk_outer|main)\"")
    message(FATAL_ERROR "the frame-pointer walk went past a function without a frame pointer: ${functions}")
  endif()
  expect(${report} "Function=\"walk_(allocate|inner)[^\n]*\n *</StackTrace>\r\n *<Cut />\r\n *</Fragment>")
endif()
