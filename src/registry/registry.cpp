#include "registry/registry.h"

#include <cstdio>

#include "base/building_blocks.h"
#include "base/errors.h"
#include "base/library_state.h"
#include "config/id_tables.h"
#include "contexts/builtin_contexts.h"
#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// The registry
// ---------------------------------------------------------------------------

namespace tarvex {

ContextCache context_cache;
bool start_in_progress = false;

namespace {

// Constant-initialised: a lazy start may fill it before this file's static
// objects are made.
MoveToFrontList<MemContext, &MemContext::next> contexts;

// Start-up for an entry point called before the process-attach sequence.
// The attach sequence adopts its start-up reference, so the detach that ends
// the process is still the final shutdown. Another thread waits on the
// library lock until the start has finished.
void lazy_init() {
    LockHolder hold(library_lock());
    if (start_in_progress || library_ever_started()) return;
    lazy_start_hook();
    library_context_init(Tarvex::ContextBase("String data", tarvex_ids::string_data));
    library_context_init(
        Tarvex::ContextBase("Default resource data", tarvex_ids::default_resource_data));
    library_context_init(
        Tarvex::ContextBase("Dynamic data (new/delete)", tarvex_ids::dynamic_data));
    // A sink the game set before its first call stays.
    if (current_log_func() == nullptr) set_log_func(debug_log);
}

// pre: the library lock is held. The context keeps its first description;
// a game that asked for another one hears of it, once.
void warn_of_other_description(MemContext& existing, const Tarvex::ContextBase& asked) {
    if (existing.warned_other_description) return;
    if (existing.type == asked.type && existing.flags == asked.flags) return;
    existing.warned_other_description = true;
    char text[160];
    std::snprintf(text, sizeof(text),
                  "WARNING: Context 0x%08x exists as type %u flags 0x%x; type %u flags 0x%x "
                  "ignored",
                  static_cast<unsigned>(existing.id), static_cast<unsigned>(existing.type),
                  static_cast<unsigned>(existing.flags), static_cast<unsigned>(asked.type),
                  static_cast<unsigned>(asked.flags));
    log_message(text);
}

// pre: the library lock is held. The null context, which stands for every
// unknown id, is never cached.
MemContext* find_and_remember(uint32_t id) {
    MemContext* found = find_context(id, true);
    if (found != &null_context()) context_cache.remember(found);
    return found;
}

}  // namespace

MemContext* registry_head() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return contexts.head();
}

MemContext* find_context(uint32_t id, bool report) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (MemContext* found = contexts.find([id](const MemContext& c) { return c.id == id; }))
        return found;
    if (!report) return nullptr;
    if (library_running()) report_error(error_context_not_set);
    return &null_context();
}

void ContextCache::remember(MemContext* context) {
    TARVEX_CHECK_LIBRARY_LOCK();
    // The slot holds the description, inside the context: converted here,
    // as the atomic store itself would copy the pointer's bits unchanged.
    const Tarvex::ContextBase* description = context;
    const Tarvex::ContextBase** set = set_for(context->id);
    const Tarvex::ContextBase* first = __atomic_load_n(&set[0], __ATOMIC_RELAXED);
    if (first == description) return;
    // A reader between the two stores finds the context in neither slot or
    // in one: a miss at worst, never another context for its id.
    __atomic_store_n(&set[1], first, __ATOMIC_RELEASE);
    __atomic_store_n(&set[0], description, __ATOMIC_RELEASE);
}

void ContextCache::forget(uint32_t id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    const Tarvex::ContextBase** set = set_for(id);
    for (uint32_t way = 0; way < ways; ++way) {
        if (__atomic_load_n(&set[way], __ATOMIC_RELAXED)->id == id)
            __atomic_store_n(&set[way], empty_slot(set_index(id)), __ATOMIC_RELEASE);
    }
}

void ContextCache::clear() {
    TARVEX_CHECK_LIBRARY_LOCK();
    for (uint32_t i = 0; i < set_count * ways; ++i)
        __atomic_store_n(&slots_[i], empty_slot(i / ways), __ATOMIC_RELEASE);
}

void ensure_started() {
    if (!library_ever_started()) lazy_init();
}

MemContext* resolve_context_slow(uint32_t id) {
    // The library's own context never waits for the library lock (see the
    // lock order above); it only needs its object to exist.
    if (id == tarvex_ids::library_context && builtin_contexts_constructed())
        return &library_context();
    const bool before_start = !library_ever_started();
    LockHolder hold(library_lock());
    if (start_in_progress) return &global_context();
    if (before_start) {
        // Started here or, while this call waited for the lock, by another
        // thread: either way the table may have changed since the call
        // entered it.
        lazy_init();
        return nullptr;
    }
    return find_and_remember(id);
}

MemContext* resolve_context_locked(uint32_t id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (MemContext* cached = cached_context(id)) return cached;
    if (start_in_progress) return &global_context();
    return find_and_remember(id);
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
    contexts.push_front(context);
    // A record with id 0 makes a new context even when one has that id: from
    // now on the registry answers the id with the new one, and so must the
    // cache.
    context_cache.forget(context->id);
    return context;
}

void registry_enter_context_locks() {
    TARVEX_CHECK_LIBRARY_LOCK();
    contexts.for_each([](MemContext& context) { context.lock.enter(&context.lock); });
}

void registry_leave_context_locks() {
    TARVEX_CHECK_LIBRARY_LOCK();
    contexts.for_each([](MemContext& context) { context.lock.leave(&context.lock); });
}

void registry_link_builtins() {
    TARVEX_CHECK_LIBRARY_LOCK();
    contexts.clear();
    contexts.push_front(&init_data_context());
    contexts.push_front(&library_context());
    contexts.push_front(&global_context());
}

void library_context_init(const Tarvex::ContextBase& base) {
    ensure_started();
    LockHolder hold(library_lock());
    make_context(base);
}

void registry_destroy_runtime_contexts() {
    TARVEX_CHECK_LIBRARY_LOCK();
    contexts.remove_if([](const MemContext& context) { return !is_builtin_context(&context); },
                       destroy_context_object);
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The exported operations on contexts
//
// The exported operations that create contexts and walk the registry. Each
// holds the library lock for its whole walk.
// ---------------------------------------------------------------------------

using namespace tarvex;

void Tarvex::context_init(ContextBase base) {
    // A context made before any start-up would be dropped by it.
    ensure_started();
    LockHolder hold(library_lock());
    // A context made now has the description asked for; one that had the id
    // already keeps its own.
    if (MemContext* context = make_context(base)) warn_of_other_description(*context, base);
}

uint32_t Tarvex::get_context_info(ContextBase* out, uint32_t max) {
    if (out == nullptr) return 0;
    LockHolder hold(library_lock());
    uint32_t copied = 0;
    for (MemContext* context = registry_head(); context != nullptr && copied < max;
         context = context->next) {
        out[copied++] = *context;
    }
    return copied;
}

void Tarvex::set_context_trace_depth(uint32_t id, uint32_t depth) {
    LockHolder hold(library_lock());
    if (MemContext* context = find_context(id, false)) context->trace_depth = depth;
}

uint32_t Tarvex::context_alignment(uint32_t id) {
    LockHolder hold(library_lock());
    const MemContext* context = find_context(id, false);
    return context != nullptr ? context->block_alignment : 0;
}

void Tarvex::run_gc() {
    LockHolder hold(library_lock());
    // In tracking mode every use of a context holds the library lock, as this
    // walk does. Otherwise a context without a lock of its own may be in use
    // on another thread right now, and collecting it would pull blocks from
    // under that thread: the walk leaves it alone.
    const bool uses_hold_library_lock = back_trace_mode.load(std::memory_order_relaxed) > 0;
    for (MemContext* context = registry_head(); context != nullptr; context = context->next) {
        if (uses_hold_library_lock || (context->flags & multi_threaded) != 0) context->run_gc();
    }
}
