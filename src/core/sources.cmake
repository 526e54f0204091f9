target_sources(tarvex_objects PRIVATE
  core/dispatch.cpp
  core/lifecycle.cpp
  core/reallocation.cpp)
