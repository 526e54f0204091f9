#include "config/budget_table.h"

#include "config/id_table.h"

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
