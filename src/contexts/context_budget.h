// A context's byte budgets. They are kept in every mode but only act in
// tracking mode, where the context's usage moves.
#pragma once

#include <stdint.h>

namespace tarvex {

// 0 means no budget of that kind.
struct BudgetLimits {
    uint32_t soft = 0;  // usage above it is warned about, once per crossing
    uint32_t hard = 0;  // no allocation may take usage above it
};

struct ContextBudget {
    BudgetLimits limits;
    // The warning of the current crossing has gone out; cleared once usage is
    // back at or below the soft budget, or when the budget is set anew.
    bool warned = false;
};

}  // namespace tarvex
