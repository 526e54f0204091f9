// Default back-trace depths per context id, filled from tarvex.ini. The first
// entry for an id wins; the table holds at most 64 ids and is never cleared.
#pragma once

#include <stdint.h>

namespace tarvex {

constexpr uint32_t trace_depth_capacity = 64;

void add_trace_depth(uint32_t context_id, uint32_t depth);
// The configured depth for the id, or 0 when it has none.
uint32_t find_trace_depth(uint32_t context_id);

}  // namespace tarvex
