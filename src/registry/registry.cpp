#include "registry/registry.h"

#include "base/errors.h"
#include "base/library_state.h"
#include "config/budget_table.h"
#include "config/trace_depth_table.h"
#include "contexts/builtin_contexts.h"
#include "contexts/context_factory.h"

namespace tarvex {

std::atomic<MemContext*> current_context{nullptr};
bool start_in_progress = false;

namespace {

MemContext* head = nullptr;

// Start-up for an entry point called before the process-attach sequence.
// Its start-up reference is never released. Another thread waits on the
// library lock until the start has finished.
void lazy_init() {
    LockHolder hold(library_lock());
    if (start_in_progress || current_context.load(std::memory_order_acquire) != nullptr) return;
    Tarvex::init();
    Tarvex::context_init(Tarvex::ContextBase("String data", tarvex_ids::string_data));
    Tarvex::context_init(
        Tarvex::ContextBase("Default resource data", tarvex_ids::default_resource_data));
    Tarvex::context_init(
        Tarvex::ContextBase("Dynamic data (new/delete)", tarvex_ids::dynamic_data));
    set_log_func(debug_log);
}

void link_at_head(MemContext* context) {
    context->next = head;
    head = context;
}

}  // namespace

MemContext* registry_head() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return head;
}

MemContext* find_context(uint32_t id, bool report) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (head != nullptr && head->id == id) return head;
    MemContext* previous = head;
    for (MemContext* context = head ? head->next : nullptr; context != nullptr;
         previous = context, context = context->next) {
        if (context->id == id) {
            previous->next = context->next;
            link_at_head(context);
            return context;
        }
    }
    if (!report) return nullptr;
    if (library_running()) report_error(error_context_not_set);
    return &null_context();
}

void ensure_started() {
    if (current_context.load(std::memory_order_acquire) == nullptr) lazy_init();
}

MemContext* resolve_context_slow(uint32_t id) {
    // The library's own context never waits for the library lock (see the
    // lock order above); it only needs its object to exist.
    if (id == tarvex_ids::library_context && builtin_contexts_constructed())
        return &library_context();
    const bool before_start = current_context.load(std::memory_order_acquire) == nullptr;
    LockHolder hold(library_lock());
    if (start_in_progress) return &global_context();
    if (before_start) {
        // Started here or, while this call waited for the lock, by another
        // thread: either way the table may have changed since the call
        // entered it.
        lazy_init();
        return nullptr;
    }
    MemContext* found = find_context(id, true);
    if (found != &null_context()) current_context.store(found, std::memory_order_release);
    return found;
}

MemContext* resolve_context_locked(uint32_t id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (MemContext* cached = cached_context(id)) return cached;
    if (start_in_progress) return &global_context();
    MemContext* found = find_context(id, true);
    if (found != &null_context()) current_context.store(found, std::memory_order_release);
    return found;
}

void init_context(MemContext& context, Tarvex::ContextBase base) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (base.trace_depth == 0) base.trace_depth = find_trace_depth(base.id);
    context.init(base);
    // Set on every init, so a built-in context started again drops the
    // budget it was given in the earlier run.
    context.budget = ContextBudget();
    context.budget.limits = find_budget(base.id);
}

MemContext* make_context(const Tarvex::ContextBase& base) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (base.id != 0) {
        if (MemContext* existing = find_context(base.id, false)) return existing;
    }
    MemContext* context = create_context_object(base.type, base.flags);
    if (context == nullptr) return nullptr;
    init_context(*context, base);
    link_at_head(context);
    return context;
}

void registry_enter_context_locks() {
    TARVEX_CHECK_LIBRARY_LOCK();
    for (MemContext* context = head; context != nullptr; context = context->next)
        context->lock.enter(&context->lock);
}

void registry_leave_context_locks() {
    TARVEX_CHECK_LIBRARY_LOCK();
    for (MemContext* context = head; context != nullptr; context = context->next)
        context->lock.leave(&context->lock);
}

void registry_link_builtins() {
    TARVEX_CHECK_LIBRARY_LOCK();
    head = nullptr;
    link_at_head(&init_data_context());
    link_at_head(&library_context());
    link_at_head(&global_context());
}

void registry_destroy_runtime_contexts() {
    TARVEX_CHECK_LIBRARY_LOCK();
    MemContext** link = &head;
    while (MemContext* context = *link) {
        if (is_builtin_context(context)) {
            link = &context->next;
            continue;
        }
        *link = context->next;
        destroy_context_object(context);
    }
}

}  // namespace tarvex
