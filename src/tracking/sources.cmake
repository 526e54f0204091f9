target_sources(tarvex_objects PRIVATE
  tracking/arena_rewinds.cpp
  tracking/budgets.cpp
  tracking/leak_report.cpp
  tracking/live_stream.cpp
  tracking/timeline.cpp
  tracking/track_table.cpp
  tracking/tracking_entries.cpp
  tracking/xml_writer.cpp)
