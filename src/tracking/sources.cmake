target_sources(tarvex_objects PRIVATE
  tracking/alloc_id.cpp)
