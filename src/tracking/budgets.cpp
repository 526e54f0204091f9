// Budget messages and the exported budget operations. Budgets are fields of
// the context they limit: the tracking variants have the context in hand
// under the library lock, so a check costs two loads and no second lookup,
// and a budget lives and dies with its context.
#include "tracking/budgets.h"

#include <cstdio>

#include "base/building_blocks.h"
#include "base/errors.h"
#include "base/library_state.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/track_table.h"

namespace tarvex {

namespace {

// Long enough for any sensible name; a longer one is cut so that the
// figures after it still reach the sink.
constexpr int name_shown = 255;

// Guarded by the library lock: true while a budget message is in the sink or
// break_func runs. Allocations they make are still refused or counted, but
// report nothing, so a sink that allocates in a context over its budget
// cannot recurse without end; a crossing they cause is warned about at the
// context's next allocation.
ReentryGuard message_out;

const char* name_of(const MemContext& context) {
    return context.name != nullptr ? context.name : "";
}

void call_break_func(const MemContext& context, void* address) {
    const Tarvex::BreakFunc on_break =
        __atomic_load_n(&Tarvex::the_config.break_func, __ATOMIC_ACQUIRE);
    if (on_break == nullptr) return;
    // A copy: break_func may release the block, and its entry with it. An
    // entry the table could not keep has nothing to show.
    MemTrackEntry entry{};
    if (find_tracked(address, context.id, entry)) on_break(&entry);
}

}  // namespace

void report_budget_exhausted(const MemContext& context) {
    if (message_out.busy()) return;
    char text[name_shown + 64];
    std::snprintf(text, sizeof(text), "ERROR: Context %.*s budget exhausted", name_shown,
                  name_of(context));
    ReentryGuard::Hold hold(message_out);
    log_message(text);
}

void note_usage_after(MemContext& context, uint32_t usage_before, void* address) {
    ContextBudget& budget = context.budget;
    const uint32_t soft = budget.limits.soft;
    if (soft == 0) return;
    if (usage_before <= soft) budget.warned = false;
    if (context.usage <= soft || budget.warned || message_out.busy()) return;
    budget.warned = true;
    char text[name_shown + 96];
    std::snprintf(text, sizeof(text), "WARNING: Context %.*s over its budget: %u of %u bytes",
                  name_shown, name_of(context), static_cast<unsigned>(context.usage),
                  static_cast<unsigned>(soft));
    ReentryGuard::Hold hold(message_out);
    log_message(text);
    call_break_func(context, address);
}

}  // namespace tarvex

using namespace tarvex;

void Tarvex::set_context_budget(uint32_t context_id, uint32_t soft_bytes, uint32_t hard_bytes) {
    LockHolder hold(library_lock());
    MemContext* context = find_context(context_id, false);
    if (context == nullptr) return;
    context->budget.limits = {soft_bytes, hard_bytes};
    // A context already over a new soft budget is warned about at its next
    // allocation.
    context->budget.warned = false;
}

void Tarvex::get_context_budget(uint32_t context_id, uint32_t* soft, uint32_t* hard) {
    LockHolder hold(library_lock());
    const MemContext* context = find_context(context_id, false);
    const BudgetLimits limits = context != nullptr ? context->budget.limits : BudgetLimits();
    if (soft != nullptr) *soft = limits.soft;
    if (hard != nullptr) *hard = limits.hard;
}
