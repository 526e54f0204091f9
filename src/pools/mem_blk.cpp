#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

MemBlk::MemBlk() : data_ptr(nullptr), byte_size(0), context_id(0) {}

MemBlk::MemBlk(uint32_t size, uint32_t context_id_)
    : data_ptr(nullptr), byte_size(size), context_id(context_id_) {
    if (size != 0) data_ptr = Tarvex::fast_alloc(size, context_id);
}

MemBlk::~MemBlk() {
    clear();
}

void MemBlk::alloc(uint32_t size, uint32_t context_id_) {
    if (data_ptr != nullptr) Tarvex::fast_free(data_ptr, byte_size, context_id);
    data_ptr = nullptr;
    byte_size = size;
    context_id = context_id_;
    if (size != 0) data_ptr = Tarvex::fast_alloc(size, context_id);
}

void MemBlk::clear() {
    if (data_ptr == nullptr) return;
    Tarvex::fast_free(data_ptr, byte_size, context_id);
    data_ptr = nullptr;
    byte_size = 0;
    context_id = 0;
}

void MemBlk::set_info(const char* text) {
    Tarvex::mem_track_set_info(context_id, data_ptr, text);
}

void MemBlk::swap(MemBlk& other) {
    if (&other == this) return;
    void* const data = data_ptr;
    const uint32_t size = byte_size;
    const uint32_t id = context_id;
    data_ptr = other.data_ptr;
    byte_size = other.byte_size;
    context_id = other.context_id;
    other.data_ptr = data;
    other.byte_size = size;
    other.context_id = id;
}
