target_sources(tarvex_objects PRIVATE
  base/checks.cpp
  base/errors.cpp
  base/library_state.cpp
  base/lock_slot.cpp
  base/static_names.cpp)
