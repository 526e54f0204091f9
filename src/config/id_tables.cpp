// A small table of values by context id, filled while tarvex.ini is read:
// the first entry for an id wins and entries beyond the capacity are dropped.
// It is constant-initialised, so a table filled by a start-up that runs
// before the library's static constructors is never wiped by them.

#include "config/id_tables.h"

// ---------------------------------------------------------------------------
// Trace depths
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

// Written only while the configuration is read at start-up, before other
// threads can ask.
IdTable<uint32_t, trace_depth_capacity> trace_depth_table;
bool default_depth_set = false;
uint32_t default_depth = 0;

}  // namespace

void add_trace_depth(uint32_t context_id, uint32_t depth) {
    trace_depth_table.add(context_id, depth);
}

void add_default_trace_depth(uint32_t depth) {
    if (default_depth_set) return;
    default_depth_set = true;
    default_depth = depth;
}

uint32_t find_trace_depth(uint32_t context_id) {
    const uint32_t* depth = trace_depth_table.find(context_id);
    return depth != nullptr ? *depth : default_depth;
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Budgets
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

// Written only while the configuration is read at start-up, before other
// threads can ask.
IdTable<BudgetLimits, budget_capacity> budget_table;

}  // namespace

void add_budget(uint32_t context_id, BudgetLimits limits) {
    budget_table.add(context_id, limits);
}

BudgetLimits find_budget(uint32_t context_id) {
    const BudgetLimits* limits = budget_table.find(context_id);
    return limits != nullptr ? *limits : BudgetLimits();
}

}  // namespace tarvex
