// Per-thread caches of free fragments, for small-block contexts shared by
// threads (the thread_cache flag).
//
// Each thread keeps, for each such context it uses and each size class, a
// bounded stack of free fragments. An allocation pops from it without any
// lock, a release pushes onto the releasing thread's stack, whichever thread
// took the block. Between the stacks and the pool lies the context's depot:
// magazines, arrays of a batch of free fragments. An empty stack takes a full
// magazine from the depot, a full one hands its top batch over as one, each
// under one short turn of the context's lock that copies pointers and never
// touches the fragments themselves, whose memory stays with the thread that
// used them last; only an empty depot is filled from the pool. A thread holds
// at most thread_cache_depth fragments a class. Its caches go back to the
// pools when the thread ends and, for the calling thread, at run_gc, which
// empties the depot too; those of the other threads go with the pools at the
// final shutdown. Every thread's caches are good only for the library
// generation they were made in: a thread that outlives a final shutdown, or
// runs into a later start, never touches the old pools.
#pragma once

#include <stdint.h>

#include <atomic>

#include "base/library_state.h"
#include "platform/platform.h"

namespace tarvex {

class MemContext;

constexpr uint32_t thread_cache_depth = 128;
constexpr uint32_t thread_cache_batch = 64;
// Contexts a thread can keep caches for; a further context with the flag is
// served without them.
constexpr uint32_t most_cached_contexts = 16;
constexpr uint32_t no_cache_index = most_cached_contexts;
// The most small-block classes a context has: on 64-bit targets an eighth
// holds the blocks whose 16-byte aligned header takes them past 128 bytes.
constexpr uint32_t cached_classes = sizeof(void*) > 4 ? 8 : 7;

struct FragmentStack {
    uint32_t count;
    void* fragments[thread_cache_depth];
};

// A batch of free fragments of one class in a context's depot.
struct Magazine {
    Magazine* next;
    void* fragments[thread_cache_batch];
};

// One thread's caches for one context.
struct ContextCaches {
    MemContext* owner;
    // Gives every cached fragment back to the owner's pools; takes the
    // owner's lock. Set by the owner.
    void (*give_back)(MemContext* owner, ContextCaches& caches);
    FragmentStack classes[cached_classes];
};

// What a thread's slot points to. The entry at no_cache_index stays null,
// so that a context without an index takes the slow path and no test.
struct ThreadCaches {
    uint32_t generation;
    ContextCaches* contexts[most_cached_contexts + 1];
};

// The calling thread's caches for the context with this index, on the fast
// path: null when it has none yet, or only stale ones.
inline ContextCaches* current_thread_caches(uint32_t index) {
    auto* thread = static_cast<ThreadCaches*>(platform::thread_slot());
    if (thread == nullptr ||
        thread->generation != library_generation.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    return thread->contexts[index];
}

// The slow path: the calling thread's caches for the context, made (and
// stale ones dropped) on first use; null when there is no storage for them.
ContextCaches* make_thread_caches(uint32_t index, MemContext* owner,
                                  void (*give_back)(MemContext*, ContextCaches&));

// An index for a new context with the flag, or no_cache_index when all are
// taken. Indices last until the next start hands them out anew.
uint32_t claim_cache_index();
// pre: the library lock is held, at a start.
void forget_cache_indices();

// A thread whose slot holds its caches ends: what it caches goes back to the
// pools, unless the library has since stopped or started anew.
void on_thread_exit(void* thread_slot);

// The calling thread gives back what it caches for the context, as run_gc
// wants before its pass. pre: the owner's lock is held.
ContextCaches* calling_thread_caches_of(uint32_t index);

}  // namespace tarvex
