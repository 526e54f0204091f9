target_sources(tarvex_objects PRIVATE
  config/breakpoint.cpp
  config/config_file.cpp
  config/config_line.cpp
  config/id_tables.cpp)
