target_sources(tarvex_objects PRIVATE
  contexts/builtin_contexts.cpp
  contexts/mem_context.cpp
  contexts/names.cpp
  contexts/std_malloc_context.cpp
  contexts/context_factory.cpp
  contexts/grow_only_context.cpp
  contexts/small_blk_list_context.cpp
  contexts/thread_cache.cpp)
