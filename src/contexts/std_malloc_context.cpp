#include "contexts/std_malloc_context.h"

#include <cstdlib>

#include "platform/platform.h"

namespace tarvex {

void* StdMallocContext::fast_alloc(uint32_t size) {
    return std::malloc(size);
}

void StdMallocContext::fast_free(void* block, uint32_t) {
    std::free(block);
}

void* StdMallocContext::std_alloc(uint32_t size) {
    return std::malloc(size);
}

void StdMallocContext::std_free(void* block) {
    std::free(block);
}

uint32_t StdMallocContext::std_size(void* block) {
    return static_cast<uint32_t>(platform::heap_block_size(block));
}

}  // namespace tarvex
