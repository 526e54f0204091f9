target_sources(tarvex_objects PRIVATE
  registry/aligned_entries.cpp
  registry/context_api.cpp
  registry/default_entries.cpp
  registry/registry.cpp)
