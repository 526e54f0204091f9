#include "tracking/debug_fill.h"

#include <cstring>

namespace tarvex {

void debug_fill(void* block, uint32_t size) {
    if (block != nullptr) std::memset(block, debug_fill_byte, size);
}

}  // namespace tarvex
