// Resets and marks of grow-only contexts: the arena gives its memory back
// under its context's lock, and in tracking mode the table forgets the blocks
// that lay in it, so they never show as leaks and the context's figures, its
// budgets and any scope open on it follow. The library lock comes first, as
// the lock order wants, and is held throughout: no tracked call can slip a
// block in between the forgetting and the rewinding. Without tracking, the
// context's own lock is enough.
#include <cstdio>

#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "contexts/grow_only_context.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/timeline.h"
#include "tracking/track_table.h"
#include "tracking/tracking_entries.h"

namespace tarvex {

namespace {

void report_about(const char* format, const MemContext& context) {
    char text[320];
    std::snprintf(text, sizeof(text), format, context.name != nullptr ? context.name : "");
    log_message(text);
}

// pre: the library lock is held. The arena of the id's context; null, and
// reported, for an unknown id or a context that is no arena. The context goes
// into the cache, where the next rewind without tracking finds it: a game
// that allocates through handles looks no id up otherwise.
MemContext* arena_context(uint32_t id) {
    MemContext* context = resolve_context_locked(id);
    if (context == &null_context()) return nullptr;
    if (context->arena == nullptr) {
        report_about("ERROR: Context %.255s cannot be reset", *context);
        return nullptr;
    }
    return context;
}

// pre: both the library lock and the context's lock are held.
void forget_tracked_after(MemContext& context, const ArenaPool::Mark* mark) {
    const uint32_t min_alloc_id = mark != nullptr ? mark->alloc_id : 0;
    context.arena->for_each_range_after(mark, [&](const char* begin, const char* end) {
        track_forget_range(context, context.id, begin, end, min_alloc_id);
    });
    if (timeline_on.load(std::memory_order_relaxed))
        timeline_rewind(context, context.id, mark == nullptr, min_alloc_id);
}

// Without tracking a rewind has nothing to forget, and a context the cache
// holds needs no lookup: the arena is rewound under its own lock alone, so
// that threads that rewind arenas of their own every frame never meet on the
// library lock. Null when the call takes the way through the library lock.
MemContext* untracked_arena(uint32_t id) {
    if (back_trace_mode.load(std::memory_order_relaxed) != 0) return nullptr;
    MemContext* context = cached_context(id);
    return context != nullptr && context->arena != nullptr ? context : nullptr;
}

}  // namespace

}  // namespace tarvex

using namespace tarvex;

void Tarvex::context_reset(uint32_t id) {
    if (MemContext* context = untracked_arena(id)) {
        LockHolder hold_arena(context->lock);
        if (context->arena != nullptr) return context->arena->reset();
    }
    LockHolder hold(library_lock());
    MemContext* context = arena_context(id);
    if (context == nullptr) return;
    LockHolder hold_arena(context->lock);
    forget_tracked_after(*context, nullptr);
    context->arena->reset();
}

uint32_t Tarvex::context_mark(uint32_t id) {
    if (MemContext* context = untracked_arena(id)) {
        // No allocation id moves without tracking: the mark needs none.
        LockHolder hold_arena(context->lock);
        if (context->arena != nullptr) {
            const ArenaPool::Mark* mark = context->arena->push_mark(0);
            if (mark != nullptr) return mark->token;
        }
    }
    LockHolder hold(library_lock());
    MemContext* context = arena_context(id);
    if (context == nullptr) return 0;
    const ArenaPool::Mark* mark;
    {
        LockHolder hold_arena(context->lock);
        mark = context->arena->push_mark(peek_next_alloc_id());
    }
    if (mark != nullptr) return mark->token;
    report_about("ERROR: Context %.255s holds too many marks", *context);
    return 0;
}

void Tarvex::context_release_to(uint32_t id, uint32_t token) {
    if (MemContext* context = untracked_arena(id)) {
        LockHolder hold_arena(context->lock);
        if (context->arena != nullptr) {
            if (const ArenaPool::Mark* mark = context->arena->find_mark(token))
                return context->arena->release_to(*mark);
        }
    }
    LockHolder hold(library_lock());
    MemContext* context = arena_context(id);
    if (context == nullptr) return;
    {
        LockHolder hold_arena(context->lock);
        if (const ArenaPool::Mark* mark = context->arena->find_mark(token)) {
            forget_tracked_after(*context, mark);
            context->arena->release_to(*mark);
            return;
        }
    }
    report_about("ERROR: Invalid mark for context %.255s", *context);
}
