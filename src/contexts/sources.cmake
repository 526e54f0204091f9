target_sources(tarvex_objects PRIVATE
  contexts/builtin_contexts.cpp
  contexts/grow_only_context.cpp
  contexts/mem_context.cpp
  contexts/small_blk_list_context.cpp
  contexts/thread_cache.cpp)
