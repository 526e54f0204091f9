target_sources(tarvex_objects PRIVATE
  core/c_interface.cpp
  core/dispatch.cpp
  core/lifecycle.cpp
  core/reallocation.cpp)
