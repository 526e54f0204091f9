target_sources(tarvex_objects PRIVATE
  tracking/alloc_id.cpp
  tracking/arena_rewinds.cpp
  tracking/allocation_log.cpp
  tracking/budgets.cpp
  tracking/dumps.cpp
  tracking/leak_report.cpp
  tracking/scopes.cpp
  tracking/timeline.cpp
  tracking/xml_writer.cpp
  tracking/debug_fill.cpp
  tracking/track_table.cpp
  tracking/tracking_entries.cpp)
