target_sources(tarvex_objects PRIVATE
  pools/block_pools.cpp
  pools/fragment_pool.cpp)
