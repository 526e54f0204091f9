// The running allocation id: every tracked allocation takes the current
// value. Never reset; wraps silently.
#pragma once

#include <stdint.h>

namespace tarvex {

// pre: the library lock is held.
uint32_t peek_next_alloc_id();
uint32_t take_next_alloc_id();

}  // namespace tarvex
