// The dispatch table and the forwarders in front of it. A forwarder does
// nothing but jump through its slot: no check, no lock, no start-up.
#include "base/dispatch_slot.h"
#include "registry/default_entries.h"
#include "tarvex/tarvex.h"

using namespace tarvex;

Tarvex::FuncTable Tarvex::my_func_table = {
    default_std_alloc,          default_std_free,      default_std_size,
    default_fast_alloc,         default_fast_free,     default_aligned_alloc,
    default_aligned_free,       default_mem_track_add, default_mem_track_remove,
    default_mem_track_set_info, default_dbg_fill,      default_inc_counter,
};

Tarvex::Config Tarvex::the_config = {nullptr, nullptr};

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
