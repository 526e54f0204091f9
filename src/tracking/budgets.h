// Context budgets in tracking mode. The hard budget refuses an allocation
// before the context serves it, so a refused request leaves no trace; the
// soft budget warns right after the allocation that took usage above it, once
// per crossing. Releases are never refused.
#pragma once

#include <stdint.h>

#include "contexts/mem_context.h"

namespace tarvex {

// One tracked allocation's view of its context's budgets: read before the
// allocation, consulted again once it is tracked.
// pre: the library lock is held for the whole life of a watch.
class BudgetWatch {
public:
    explicit BudgetWatch(MemContext& context);

    // True, and reported, when `size` more bytes would take the context's
    // usage above its hard budget.
    bool refuses(uint32_t size) const;
    // After track_add: warns, and calls break_func with the block's entry,
    // when this allocation took usage above the soft budget.
    void after_tracking(void* address) const;

private:
    MemContext* context_;  // null for a context without budgets
    uint32_t usage_before_;
};

inline bool over_soft_budget(const MemContext& context) {
    const uint32_t soft = context.budget.limits.soft;
    return soft != 0 && context.usage > soft;
}

// The slow paths of the watch, out of line.
void report_budget_exhausted(const MemContext& context);
void note_usage_after(MemContext& context, uint32_t usage_before, void* address);

inline BudgetWatch::BudgetWatch(MemContext& context) : context_(nullptr), usage_before_(0) {
    const BudgetLimits& limits = context.budget.limits;
    if (limits.soft == 0 && limits.hard == 0) return;
    context_ = &context;
    usage_before_ = context.usage;
}

inline bool BudgetWatch::refuses(uint32_t size) const {
    if (context_ == nullptr) return false;
    const uint32_t hard = context_->budget.limits.hard;
    // In 64 bits: usage plus size must not wrap past the budget.
    if (hard == 0 || uint64_t{usage_before_} + size <= hard) return false;
    report_budget_exhausted(*context_);
    return true;
}

inline void BudgetWatch::after_tracking(void* address) const {
    if (context_ != nullptr) note_usage_after(*context_, usage_before_, address);
}

}  // namespace tarvex
