target_sources(tarvex_objects PRIVATE
  config/breakpoint.cpp
  config/budget_table.cpp
  config/config_file.cpp
  config/config_line.cpp
  config/trace_depth_table.cpp)
