target_sources(tarvex_objects PRIVATE
  debughelp/binding.cpp
  debughelp/frame_cache.cpp
  debughelp/module_map.cpp)
if(WIN32)
  target_sources(tarvex_objects PRIVATE
    debughelp/dbghelp_binding.cpp
    debughelp/windows_back_end.cpp)
else()
  target_sources(tarvex_objects PRIVATE debughelp/posix_back_end.cpp)
endif()
