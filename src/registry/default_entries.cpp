#include "registry/default_entries.h"

#include "registry/registry.h"

namespace tarvex {

namespace {
void* writable(const void* block) {
    return const_cast<void*>(block);
}
}  // namespace

void* default_std_alloc(uint32_t size, uint32_t id) {
    return resolve_context(id)->std_alloc(size);
}

void default_std_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    resolve_context(id)->std_free(writable(block));
}

uint32_t default_std_size(const void* block, uint32_t id) {
    if (block == nullptr) return 0;
    return resolve_context(id)->std_size(writable(block));
}

void* default_fast_alloc(uint32_t size, uint32_t id) {
    return resolve_context(id)->fast_alloc(size);
}

void default_fast_free(const void* block, uint32_t size, uint32_t id) {
    if (block == nullptr) return;
    resolve_context(id)->fast_free(writable(block), size);
}

void default_mem_track_add(uint32_t, void*, uint32_t, const char*) {}
void default_mem_track_remove(uint32_t, void*) {}
void default_mem_track_set_info(uint32_t, void*, const char*) {}
void default_dbg_fill(void*, uint32_t) {}
uint32_t default_inc_counter(const char*, int32_t) {
    return 0;
}

}  // namespace tarvex
