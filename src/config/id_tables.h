// A small table of values by context id, filled while tarvex.ini is read:
// the first entry for an id wins and entries beyond the capacity are dropped.
// It is constant-initialised, so a table filled by a start-up that runs
// before the library's static constructors is never wiped by them.
#pragma once

#include <stdint.h>

#include "contexts/mem_context.h"

// ---------------------------------------------------------------------------
// A table of values by id
// ---------------------------------------------------------------------------

namespace tarvex {

template <typename Value, uint32_t Capacity>
class IdTable {
public:
    constexpr IdTable() : entries_{}, count_(0) {}

    void add(uint32_t id, const Value& value) {
        if (find(id) != nullptr || count_ == Capacity) return;
        entries_[count_++] = {id, value};
    }

    // The value for the id, or null when it has none.
    const Value* find(uint32_t id) const {
        for (uint32_t i = 0; i < count_; ++i) {
            if (entries_[i].id == id) return &entries_[i].value;
        }
        return nullptr;
    }

private:
    struct Entry {
        uint32_t id;
        Value value;
    };
    Entry entries_[Capacity];
    uint32_t count_;
};

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Trace depths
//
// Default back-trace depths per context id, filled from tarvex.ini. The first
// entry for an id wins; the table holds at most 64 ids and is never cleared,
// nor is the depth for the ids it does not name.
// ---------------------------------------------------------------------------

namespace tarvex {

constexpr uint32_t trace_depth_capacity = 64;

void add_trace_depth(uint32_t context_id, uint32_t depth);
// "TraceDepth: * N": the depth of every id without an entry of its own. The
// first one wins, as for an id.
void add_default_trace_depth(uint32_t depth);
// The configured depth for the id: its entry's, else the default, else 0.
uint32_t find_trace_depth(uint32_t context_id);

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Budgets
//
// Budgets per context id, filled from tarvex.ini's "Budget:" lines and given
// to each context created afterwards. The first entry for an id wins; the
// table holds at most 64 ids and is never cleared.
// ---------------------------------------------------------------------------

namespace tarvex {

constexpr uint32_t budget_capacity = 64;

void add_budget(uint32_t context_id, BudgetLimits limits);
// The configured budgets for the id, both 0 when it has none.
BudgetLimits find_budget(uint32_t context_id);

}  // namespace tarvex
