#pragma once

#include <stdint.h>

namespace tarvex {

// The byte tracking mode writes over a block handed to Tarvex::dbg_fill.
constexpr unsigned char debug_fill_byte = 0xCD;

// The dbg_fill slot in tracking mode: fills the block, never dispatches.
void debug_fill(void* block, uint32_t size);

}  // namespace tarvex
