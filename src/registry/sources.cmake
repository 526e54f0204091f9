target_sources(tarvex_objects PRIVATE
  registry/default_entries.cpp
  registry/handles.cpp
  registry/registry.cpp)
