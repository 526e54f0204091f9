target_sources(tarvex_objects PRIVATE
  pools/blk_container.cpp
  pools/fragment_pool.cpp
  pools/fragment_pool_gc.cpp
  pools/grow_only_pool.cpp
  pools/mem_blk.cpp
  pools/static_string_pool.cpp)
