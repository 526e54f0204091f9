target_sources(tarvex_objects PRIVATE counters/counters.cpp)
