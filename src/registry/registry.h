// The context registry: every live context in most-recently-looked-up order,
// and the context cache in front of it.
//
// Lock order: a thread that holds a context's lock must never wait for the
// library lock, because Tarvex::run_gc and the final shutdown hold the library
// lock while they take context locks. Pools grow and shrink under their
// context's lock by allocating in the library's own context, so that context
// is resolved without the registry and without the library lock: its id
// always names the built-in object.
//
// The system loader's lock: no call that may take it (symbol and module
// lookups, loading or unloading a library, walking the list of modules) is
// made while the library lock is held, because a plug-in's constructor or
// DllMain allocates through the library while the loader holds its lock.
// Dumps gather the frame addresses they need under the library lock, resolve
// them after leaving it, and take it again to write (debughelp/debug_help.h).
// Stack capture, which runs under the library lock, walks frames without the
// loader. The one exception is the final shutdown: at process detach the
// loader's lock is held already, and its report resolves in place.
#pragma once

#include <atomic>

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// ---------------------------------------------------------------------------
// The context cache
//
// A frame allocates from many contexts in turn, and threads each from their
// own: the cache keeps every context in use at hand without a lock and
// without a write to shared memory on a hit. It is a small table of sets of
// two slots, each set picked by a hash of the id, each slot one atomic
// pointer to a context's description whose own id the reader compares: a
// reader never sees an id and a pointer torn apart. A hit in a set's first
// slot is one load and one comparison: a slot is never null, an empty one
// holds a description that no id of its set can match. Slots are written
// only under the library lock, on a miss, and only ever with the context the
// registry's lookup returns for that id, so the cache never answers an id
// with another.
// ---------------------------------------------------------------------------

constexpr uint32_t context_cache_set_bits = 7;

// Fibonacci hashing spreads ids that differ in their high bits only (0x1000,
// 0x2000, ...) as well as neighbouring ones.
constexpr uint32_t context_cache_set(uint32_t id) {
    return (id * 0x9e3779b1u) >> (32 - context_cache_set_bits);
}

// The ids of the two descriptions that stand in empty slots.
constexpr uint32_t empty_slot_ids[2] = {0xffffffffu, 0xfffffffeu};
static_assert(context_cache_set(empty_slot_ids[0]) != context_cache_set(empty_slot_ids[1]),
              "each stands in the other's set");

class ContextCache {
public:
    static constexpr uint32_t set_bits = context_cache_set_bits;
    static constexpr uint32_t ways = 2;

    // Constant-initialised, empty: a call may look a context up before the
    // library has started.
    constexpr ContextCache() {
        for (uint32_t i = 0; i < set_count * ways; ++i) slots_[i] = empty_slot(i / ways);
    }

    // The cached context for the id, or null.
    MemContext* find(uint32_t id) const {
        const Tarvex::ContextBase* const* set = set_for(id);
        const Tarvex::ContextBase* first = __atomic_load_n(&set[0], __ATOMIC_ACQUIRE);
        if (first->id == id) return context_of(*first);
        const Tarvex::ContextBase* second = __atomic_load_n(&set[1], __ATOMIC_ACQUIRE);
        return second->id == id ? context_of(*second) : nullptr;
    }

    // pre: the library lock is held, and `context` is what the registry
    // answers for its id. It goes first in its set; the one before it moves
    // to second.
    void remember(MemContext* context);
    // pre: the library lock is held. Drops every context with this id, as a
    // new context made with an id already in use needs.
    void forget(uint32_t id);
    // pre: the library lock is held. Empties every set: a start and the final
    // shutdown, after which the built-in contexts are made anew at the same
    // addresses.
    void clear();

private:
    static constexpr uint32_t set_count = 1u << set_bits;

    static constexpr uint32_t set_index(uint32_t id) { return context_cache_set(id); }

    // What an empty slot holds: two descriptions of different sets, each
    // standing in the sets of the other, where no lookup can match it.
    static constexpr Tarvex::ContextBase empty_a{nullptr, empty_slot_ids[0]};
    static constexpr Tarvex::ContextBase empty_b{nullptr, empty_slot_ids[1]};
    static constexpr const Tarvex::ContextBase* empty_slot(uint32_t set) {
        return set == context_cache_set(empty_slot_ids[0]) ? &empty_b : &empty_a;
    }

    // Every slot that is not empty holds a context's own description.
    static MemContext* context_of(const Tarvex::ContextBase& description) {
        return &static_cast<MemContext&>(const_cast<Tarvex::ContextBase&>(description));
    }

    const Tarvex::ContextBase* const* set_for(uint32_t id) const {
        return slots_ + set_index(id) * ways;
    }
    const Tarvex::ContextBase** set_for(uint32_t id) { return slots_ + set_index(id) * ways; }

    // Read and written with atomic operations only.
    const Tarvex::ContextBase* slots_[set_count * ways] = {};
};

extern ContextCache context_cache;

// Guarded by the library lock: true while the start-up that builds the
// library runs. Calls it makes itself (a log sink that allocates, say) are
// served by the built-in runtime-heap contexts instead of starting again.
extern bool start_in_progress;

// pre: the library lock is held. Finds the id and moves it to the head; an
// unknown id yields null, or with `report` error 7 (while running) and the
// null context.
MemContext* find_context(uint32_t id, bool report);

// The start-up an entry point runs when it is called before anything started
// the library: Tarvex::init, with the reference it takes left for the attach
// sequence to adopt. Declared here, defined by the core, which starts the
// library: the one way this layer calls up.
extern void (*const lazy_start_hook)();

// Starts the library lazily when nothing has started it yet. Another thread
// waits until that start has finished.
void ensure_started();

// Any thread, any time: the context for the id. Null only when the call came
// before the first start finished (and then waited for it, or ran it): the
// dispatch table may then hold other occupants (the tracking variants), and
// the caller goes through it again.
MemContext* resolve_context_slow(uint32_t id);
// Its fast path alone: the cached context for the id, else null.
inline MemContext* cached_context(uint32_t id) {
    return context_cache.find(id);
}
inline MemContext* resolve_context(uint32_t id) {
    if (MemContext* cached = cached_context(id)) return cached;
    return resolve_context_slow(id);
}

// pre: the library lock is held. The context for the id, as resolve_context
// would find it, looked up once for a whole tracked call or arena rewind;
// before any start, the null context.
MemContext* resolve_context_locked(uint32_t id);

// Aligned blocks on top of a context's std family: the block the context
// handed out is kept just below the aligned address. Null when the
// alignment or the size cannot be served, or the context has no block.
void* aligned_alloc_in(MemContext& context, uint32_t size, uint32_t alignment);
// The block the context handed out for an aligned address.
void* aligned_block_origin(const void* block);

// pre: the library lock is held (or start-up runs alone). Initialises the
// context from the record; a record without a trace depth takes the one
// tarvex.ini gives its id, and the context takes the budgets tarvex.ini gives
// its id.
void init_context(MemContext& context, Tarvex::ContextBase base);

// pre: the library lock is held. Finds a context with the record's non-zero
// id, or creates, initialises and links a new one; null when the heap has no
// room for it.
MemContext* make_context(const Tarvex::ContextBase& base);

// A context the library makes for itself (at attach, at a lazy start): as
// Tarvex::context_init, but an existing context of another description is
// taken as it is, without the warning a game's call gets.
void library_context_init(const Tarvex::ContextBase& base);

// pre: the library lock is held. Every context's own lock, in registry
// order, for a fork: entered all, and left all again.
void registry_enter_context_locks();
void registry_leave_context_locks();

// pre: the library lock is held (or start-up runs alone).
MemContext* registry_head();
void registry_link_builtins();
// Unlinks every context that is not built-in and destroys it.
void registry_destroy_runtime_contexts();

}  // namespace tarvex
