// The default occupants of the dispatch table: resolve the id, call the
// context. The tracking variants call these for the real work.
#pragma once

#include <stdint.h>

#include "tarvex/tarvex.h"

namespace tarvex {

void* default_std_alloc(uint32_t size, uint32_t id);
void default_std_free(const void* block, uint32_t id);
uint32_t default_std_size(const void* block, uint32_t id);
void* default_fast_alloc(uint32_t size, uint32_t id);
void default_fast_free(const void* block, uint32_t size, uint32_t id);
void* default_aligned_alloc(uint32_t size, uint32_t alignment, uint32_t id);
void default_aligned_free(const void* block, uint32_t id);

// Slots 7 to 11 without tracking: they do nothing.
void default_mem_track_add(uint32_t id, void* block, uint32_t size, const char* info);
void default_mem_track_remove(uint32_t id, void* block);
void default_mem_track_set_info(uint32_t id, void* block, const char* info);
void default_dbg_fill(void* block, uint32_t size);
uint32_t default_inc_counter(const char* name, int32_t delta);

// The table as the library is loaded with it, and as it is again once
// tracking has stopped at the process's end. A constant, so that the table
// is filled before any code runs: a lazy start may come first.
inline constexpr Tarvex::FuncTable default_occupants = {
    default_std_alloc,          default_std_free,      default_std_size,
    default_fast_alloc,         default_fast_free,     default_aligned_alloc,
    default_aligned_free,       default_mem_track_add, default_mem_track_remove,
    default_mem_track_set_info, default_dbg_fill,      default_inc_counter,
};

}  // namespace tarvex
