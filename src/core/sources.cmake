target_sources(tarvex_objects PRIVATE
  core/aligned_entries.cpp
  core/allocation_log.cpp
  core/breakpoint.cpp
  core/builtin_contexts.cpp
  core/config_file.cpp
  core/config_line.cpp
  core/context_api.cpp
  core/default_entries.cpp
  core/dispatch.cpp
  core/errors.cpp
  core/library_state.cpp
  core/lifecycle.cpp
  core/reallocation.cpp
  core/registry.cpp
  core/static_names.cpp
  core/trace_depth_table.cpp)
