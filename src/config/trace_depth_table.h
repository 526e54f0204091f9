// Default back-trace depths per context id, filled from tarvex.ini. The first
// entry for an id wins; the table holds at most 64 ids and is never cleared,
// nor is the depth for the ids it does not name.
#pragma once

#include <stdint.h>

namespace tarvex {

constexpr uint32_t trace_depth_capacity = 64;

void add_trace_depth(uint32_t context_id, uint32_t depth);
// "TraceDepth: * N": the depth of every id without an entry of its own. The
// first one wins, as for an id.
void add_default_trace_depth(uint32_t depth);
// The configured depth for the id: its entry's, else the default, else 0.
uint32_t find_trace_depth(uint32_t context_id);

}  // namespace tarvex
