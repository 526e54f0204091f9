#include "contexts/thread_cache.h"

#include <cstring>

#include "base/library_state.h"
#include "contexts/library_storage.h"
#include "contexts/mem_context.h"

namespace tarvex {

namespace {

std::atomic<uint32_t> next_cache_index{0};

void drop_all(ThreadCaches& thread) {
    for (ContextCaches*& caches : thread.contexts) {
        library_free(caches);
        caches = nullptr;
    }
}

// The calling thread's block of caches, made, or renewed for this
// generation; null without storage or a slot.
ThreadCaches* calling_thread_block() {
    auto* thread = static_cast<ThreadCaches*>(platform::thread_slot());
    const uint32_t generation = library_generation.load(std::memory_order_acquire);
    if (thread != nullptr) {
        // Caches of an earlier generation name pools that are gone: dropped,
        // never given back.
        if (thread->generation != generation) {
            drop_all(*thread);
            thread->generation = generation;
        }
        return thread;
    }
    thread = static_cast<ThreadCaches*>(library_alloc(sizeof(ThreadCaches)));
    if (thread == nullptr) return nullptr;
    std::memset(thread, 0, sizeof(*thread));
    thread->generation = generation;
    if (!platform::set_thread_slot(thread)) {
        library_free(thread);
        return nullptr;
    }
    return thread;
}

}  // namespace

ContextCaches* make_thread_caches(uint32_t index, MemContext* owner,
                                  void (*give_back)(MemContext*, ContextCaches&)) {
    if (index == no_cache_index) return nullptr;
    ThreadCaches* thread = calling_thread_block();
    if (thread == nullptr) return nullptr;
    ContextCaches*& caches = thread->contexts[index];
    if (caches == nullptr) {
        caches = static_cast<ContextCaches*>(library_alloc(sizeof(ContextCaches)));
        if (caches == nullptr) return nullptr;
        std::memset(caches, 0, sizeof(*caches));
        caches->owner = owner;
        caches->give_back = give_back;
    }
    return caches;
}

uint32_t claim_cache_index() {
    uint32_t index = next_cache_index.load(std::memory_order_relaxed);
    do {
        if (index >= most_cached_contexts) return no_cache_index;
    } while (!next_cache_index.compare_exchange_weak(index, index + 1, std::memory_order_relaxed));
    return index;
}

void forget_cache_indices() {
    TARVEX_CHECK_LIBRARY_LOCK();
    next_cache_index.store(0, std::memory_order_relaxed);
}

ContextCaches* calling_thread_caches_of(uint32_t index) {
    return index == no_cache_index ? nullptr : current_thread_caches(index);
}

// A thread ends: what it caches goes back to the pools, unless the library
// has since stopped or started anew. The library lock keeps a final shutdown
// from taking the contexts away meanwhile.
void on_thread_exit(void* slot) {
    auto* thread = static_cast<ThreadCaches*>(slot);
    {
        LockHolder hold(library_lock());
        const bool current =
            library_running() &&
            thread->generation == library_generation.load(std::memory_order_relaxed);
        for (ContextCaches* caches : thread->contexts) {
            if (current && caches != nullptr) caches->give_back(caches->owner, *caches);
        }
    }
    drop_all(*thread);
    library_free(thread);
}

}  // namespace tarvex
