// The dispatch table and the forwarders in front of it. A forwarder does
// nothing but jump through its slot: no check, no lock, no start-up.

#include "pools/entry_points.h"

#include <cstring>

#include "base/dispatch_slot.h"
#include "registry/default_entries.h"
#include "registry/handles.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// The forwarders
// ---------------------------------------------------------------------------

using namespace tarvex;

void* Tarvex::std_alloc(uint32_t size, uint32_t id) {
    return slot(my_func_table.std_alloc)(size, id);
}

void Tarvex::std_free(const void* block, uint32_t id) {
    slot(my_func_table.std_free)(block, id);
}

uint32_t Tarvex::std_size(const void* block, uint32_t id) {
    return slot(my_func_table.std_size)(block, id);
}

void* Tarvex::fast_alloc(uint32_t size, uint32_t id) {
    return slot(my_func_table.fast_alloc)(size, id);
}

void Tarvex::fast_free(const void* block, uint32_t size, uint32_t id) {
    slot(my_func_table.fast_free)(block, size, id);
}

void* Tarvex::aligned_alloc(uint32_t size, uint32_t alignment, uint32_t id) {
    return slot(my_func_table.aligned_alloc)(size, alignment, id);
}

void Tarvex::aligned_free(const void* block, uint32_t id) {
    slot(my_func_table.aligned_free)(block, id);
}

void Tarvex::dbg_fill(void* block, uint32_t size) {
    slot(my_func_table.dbg_fill)(block, size);
}

void Tarvex::mem_track_add(uint32_t id, void* block, uint32_t size, const char* info) {
    slot(my_func_table.mem_track_add)(id, block, size, info);
}

void Tarvex::mem_track_remove(uint32_t id, void* block) {
    slot(my_func_table.mem_track_remove)(id, block);
}

void Tarvex::mem_track_set_info(uint32_t id, void* block, const char* info) {
    slot(my_func_table.mem_track_set_info)(id, block, info);
}

uint32_t Tarvex::inc_counter(const char* name, int32_t delta) {
    return slot(my_func_table.inc_counter)(name, delta);
}

uint32_t Tarvex::get_counter(const char* name, int32_t) {
    return slot(my_func_table.inc_counter)(name, 0);
}

void* tarvex_handle_alloc(tarvex_handle h, uint32_t size) {
    return slot(handle_func_table.alloc)(h, size);
}

void tarvex_handle_free(tarvex_handle h, const void* block) {
    slot(handle_func_table.free)(h, block);
}

void* tarvex_handle_fast_alloc(tarvex_handle h, uint32_t size) {
    return slot(handle_func_table.fast_alloc)(h, size);
}

void tarvex_handle_fast_free(tarvex_handle h, const void* block, uint32_t size) {
    slot(handle_func_table.fast_free)(h, block, size);
}

void* tarvex_handle_aligned_alloc(tarvex_handle h, uint32_t size, uint32_t alignment) {
    return slot(handle_func_table.aligned_alloc)(h, size, alignment);
}

void tarvex_handle_aligned_free(tarvex_handle h, const void* block) {
    slot(handle_func_table.aligned_free)(h, block);
}

// ---------------------------------------------------------------------------
// Reallocation and the plain functions
//
// Reallocation and the plain heap-shaped exports. Everything goes through
// the dispatch table, so in tracking mode a moved block is one tracked
// allocation and one tracked release.
// ---------------------------------------------------------------------------

using tarvex::slot;

namespace {

// Grow only by moving; shrink by moving only a block above 256 bytes that
// would otherwise stay more than half as large again as needed.
bool keeps_block(uint32_t old_size, uint32_t new_size) {
    if (old_size < new_size) return false;
    return new_size <= 256 || (new_size * 3) / 2 >= old_size;
}

}  // namespace

void* Tarvex::std_realloc(const void* block, uint32_t new_size, uint32_t id) {
    if (block == nullptr) return nullptr;
    const uint32_t old_size = slot(my_func_table.std_size)(block, id);
    if (keeps_block(old_size, new_size)) return const_cast<void*>(block);
    void* moved = slot(my_func_table.std_alloc)(new_size, id);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, old_size < new_size ? old_size : new_size);
    slot(my_func_table.std_free)(block, id);
    return moved;
}

void* tarvex_malloc(uint32_t size) {
    return slot(Tarvex::my_func_table.std_alloc)(size, 0);
}

void tarvex_free(void* block) {
    slot(Tarvex::my_func_table.std_free)(block, 0);
}

void* tarvex_calloc(uint32_t count, uint32_t size) {
    const uint64_t total = static_cast<uint64_t>(count) * size;
    if (total > UINT32_MAX) return nullptr;
    void* block = slot(Tarvex::my_func_table.std_alloc)(static_cast<uint32_t>(total), 0);
    if (block != nullptr) std::memset(block, 0, static_cast<size_t>(total));
    return block;
}

void* tarvex_realloc(void* block, uint32_t new_size) {
    return Tarvex::std_realloc(block, new_size, 0);
}

// ---------------------------------------------------------------------------
// The entry points the exported pools take
// ---------------------------------------------------------------------------

const tarvex::PoolEntryPoints tarvex::pool_entry_points = {
    Tarvex::std_alloc, Tarvex::std_free,           Tarvex::fast_alloc,
    Tarvex::fast_free, Tarvex::mem_track_set_info,
};
