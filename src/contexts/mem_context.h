// The memory context: one allocation strategy behind an id.
//
// A context owns its name copy, its lock and whatever its strategy holds; it
// never owns the blocks it handed out. The lock is taken inside the
// operations that need it, never by the library for them.
#pragma once

#include <stdint.h>

#include "base/library_state.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// Budgets
//
// A context's byte budgets. They are kept in every mode but only act in
// tracking mode, where the context's usage moves.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// The context
// ---------------------------------------------------------------------------

struct tarvex_handle_s;

namespace tarvex {

class ArenaPool;

class MemContext : public Tarvex::ContextBase {
public:
    MemContext();

    // The virtual operations, in dispatch slot order.
    virtual void run_gc();
    virtual void init(const Tarvex::ContextBase& base);
    virtual void shutdown();
    virtual void* fast_alloc(uint32_t size) = 0;
    virtual void fast_free(void* block, uint32_t size) = 0;
    virtual void* std_alloc(uint32_t size) = 0;
    virtual void std_free(void* block) = 0;
    virtual uint32_t std_size(void* block) = 0;
    virtual ~MemContext();

    // A single-threaded context belongs to the first thread that uses it
    // through tracking; any other thread gets error 8 and carries on. True
    // when it reported: the sink ran, and may have changed anything.
    // pre: the library lock is held.
    bool check_owner_thread();

    MemContext(const MemContext&) = delete;
    MemContext& operator=(const MemContext&) = delete;

    MemContext* next;  // the registry's link; set by whoever links the context
    uint32_t owner_thread;
    LockSlot lock;
    // Kept beside the statistics it is checked against, outside the
    // ContextBase record that get_context_info copies out.
    ContextBudget budget;
    // What the strategy promises for its blocks (Tarvex::context_alignment);
    // 0 for the null context, which hands out none.
    uint32_t block_alignment = 0;
    // A grow-only context's pool, which a reset and marks rewind; null for
    // every other context. Guarded by the context's lock.
    ArenaPool* arena = nullptr;
    // Set with the one warning that the context's blocks record no stacks
    // although the mode asks for them. Guarded by the library lock.
    bool warned_no_stacks = false;
    // Set with the one warning that a game asked for this id with another
    // type or other flags. Guarded by the library lock.
    bool warned_other_description = false;
    // The context's handle in this start, made on the first find; null
    // before it. Guarded by the library lock.
    tarvex_handle_s* handle = nullptr;
};

// ---------------------------------------------------------------------------
// Sharing
//
// How a context's class serves threads, chosen once, when the context is made
// from its flags: a context of one thread makes no lock call at all, a shared
// one holds its lock around every pool operation, and a shared one with
// thread caches goes to its caches first. The choice is the class, so the
// path of a call tests no flag.
// ---------------------------------------------------------------------------

enum class Sharing { one_thread, locked, thread_cached };

// Holds a context's lock for one scope when its class is shared; nothing at
// all otherwise.
template <Sharing S>
class ContextLockHolder {
public:
    explicit ContextLockHolder(LockSlot& slot) : hold_(slot) {}

private:
    LockHolder hold_;
};

template <>
class ContextLockHolder<Sharing::one_thread> {
public:
    explicit ContextLockHolder(LockSlot&) {}
};

inline Sharing sharing_for(uint16_t flags, bool thread_caches) {
    if ((flags & Tarvex::multi_threaded) == 0) return Sharing::one_thread;
    return thread_caches ? Sharing::thread_cached : Sharing::locked;
}

// Keeps a copy of a name (or an info text) in the library's own context.
// The built-in names are kept by pointer and never copied; null and "" become
// the built-in empty name, and so does a copy the heap cannot supply.
const char* copy_name(const char* text);
// Gives back what copy_name made; the built-in names are left alone.
void release_name(const char* text);

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Making contexts
// ---------------------------------------------------------------------------

namespace tarvex {

// Constructs the context class for a type code, in the block layout its
// flags ask for, in storage from the runtime heap; null when the heap has
// none. The context is not yet initialised.
MemContext* create_context_object(uint16_t type, uint16_t flags);

// Runs the context's shutdown and destructor and gives its storage back.
void destroy_context_object(MemContext* context);

}  // namespace tarvex
