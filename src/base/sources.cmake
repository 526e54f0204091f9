target_sources(tarvex_objects PRIVATE
  base/errors.cpp
  base/library_state.cpp)
