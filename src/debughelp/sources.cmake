target_sources(tarvex_objects PRIVATE
  debughelp/binding_count.cpp
  debughelp/binding_lock.cpp
  debughelp/frame_arena.cpp
  debughelp/frame_cache.cpp
  debughelp/frame_request.cpp
  debughelp/module_map.cpp)
if(WIN32)
  target_sources(tarvex_objects PRIVATE
    debughelp/dbghelp_binding.cpp
    debughelp/windows_mini_dump.cpp
    debughelp/windows_stack.cpp)
else()
  target_sources(tarvex_objects PRIVATE
    debughelp/line_info.cpp
    debughelp/posix_mini_dump.cpp
    debughelp/posix_stack.cpp)
endif()
