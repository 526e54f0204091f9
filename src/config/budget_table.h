// Budgets per context id, filled from tarvex.ini's "Budget:" lines and given
// to each context created afterwards. The first entry for an id wins; the
// table holds at most 64 ids and is never cleared.
#pragma once

#include <stdint.h>

#include "contexts/context_budget.h"

namespace tarvex {

constexpr uint32_t budget_capacity = 64;

void add_budget(uint32_t context_id, BudgetLimits limits);
// The configured budgets for the id, both 0 when it has none.
BudgetLimits find_budget(uint32_t context_id);

}  // namespace tarvex
