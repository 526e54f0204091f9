#include "config/trace_depth_table.h"

namespace tarvex {

namespace {

struct TraceDepthEntry {
    uint32_t context_id;
    uint32_t depth;
};

// Written only while the configuration is read at start-up, before other
// threads can ask.
TraceDepthEntry trace_depth_table[trace_depth_capacity];
uint32_t trace_depth_count = 0;

}  // namespace

void add_trace_depth(uint32_t context_id, uint32_t depth) {
    for (uint32_t i = 0; i < trace_depth_count; ++i) {
        if (trace_depth_table[i].context_id == context_id) return;
    }
    if (trace_depth_count == trace_depth_capacity) return;
    trace_depth_table[trace_depth_count++] = {context_id, depth};
}

uint32_t find_trace_depth(uint32_t context_id) {
    for (uint32_t i = 0; i < trace_depth_count; ++i) {
        if (trace_depth_table[i].context_id == context_id) return trace_depth_table[i].depth;
    }
    return 0;
}

}  // namespace tarvex
