target_sources(tarvex_objects PRIVATE
  core/c_interface.cpp
  core/entry_points.cpp
  core/lifecycle.cpp)
