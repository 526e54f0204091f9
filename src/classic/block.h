// Making the blocks that pieces are carved from.
#pragma once

#include "records.h"

namespace tarvex_classic {

// Allocates a zero-filled block with room for pieces of up to size bytes and
// logs it when the handle logs. The block is not linked into the handle.
// Returns null when the heap is exhausted.
// pre: 0 <= size <= largest_block_size
BlockHeader* make_block(HandleRecord* handle, int32_t size);

}  // namespace tarvex_classic
