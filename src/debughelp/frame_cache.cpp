#include "debughelp/frame_cache.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>

#include "base/function_allocator.h"
#include "debughelp/binding_lock.h"
#include "debughelp/debug_help.h"
#include "debughelp/frame_arena.h"
#include "debughelp/symbol_lookup.h"

namespace tarvex {

namespace {

void* take_from_heap(size_t bytes) {
    return std::malloc(bytes);
}
void give_to_heap(void* block) {
    std::free(block);
}

// Map nodes from the runtime heap, since frames are resolved for whoever
// asks, whether the library has started or not.
template <typename T>
using RuntimeHeapAllocator = FunctionAllocator<T, take_from_heap, give_to_heap>;

using FrameMap = std::map<uintptr_t, const ResolvedFrame*, std::less<uintptr_t>,
                          RuntimeHeapAllocator<std::pair<const uintptr_t, const ResolvedFrame*>>>;

// All of this is guarded by the frame-cache lock. The cache and the arena are
// made on first use and never destroyed with the program's static objects:
// the leak report at process detach may still resolve frames after them.
uint32_t pins = 0;
bool drop_wanted = false;

std::atomic<uint32_t> lookups{0};

template <typename T>
T& lasting() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* const object = new (storage) T;
    return *object;
}

FrameMap& frame_cache() {
    return lasting<FrameMap>();
}

FrameArena& frame_arena() {
    return lasting<FrameArena>();
}

const char empty_text[] = "";

// pre (all three): the frame-cache lock is held.
const ResolvedFrame* find_cached(uintptr_t address) {
    TARVEX_CHECK_FRAME_CACHE_LOCK();
    const FrameMap& cache = frame_cache();
    const auto found = cache.find(address);
    return found != cache.end() ? found->second : nullptr;
}

void drop_now() {
    TARVEX_CHECK_FRAME_CACHE_LOCK();
    frame_cache().clear();
    frame_arena().release();
    drop_wanted = false;
}

// Copies what a lookup found into the arena and caches it, unless another
// thread was first. A text without room keeps ""; a record without room is
// not cached and the address stays unknown.
void remember(const ResolvedFrame& found) {
    TARVEX_CHECK_FRAME_CACHE_LOCK();
    if (find_cached(found.address) != nullptr) return;
    FrameArena& arena = frame_arena();
    const auto copy = [&arena](const char* text) {
        const char* kept = text != nullptr && text[0] != '\0' ? arena.copy_text(text) : nullptr;
        return kept != nullptr ? kept : empty_text;
    };
    void* storage = arena.take(sizeof(ResolvedFrame), alignof(ResolvedFrame));
    if (storage == nullptr) return;
    const ResolvedFrame* frame = new (storage) ResolvedFrame{
        found.address, copy(found.function), copy(found.source), copy(found.module), found.line};
    try {
        frame_cache().emplace(found.address, frame);
    } catch (const std::bad_alloc&) {
    }
}

void keep_found(const ResolvedFrame& found, void*) {
    FrameCacheLockHolder hold;
    remember(found);
}

}  // namespace

FramePin::FramePin() {
    FrameCacheLockHolder hold;
    ++pins;
}

FramePin::~FramePin() {
    FrameCacheLockHolder hold;
    if (--pins == 0 && drop_wanted) drop_now();
}

void resolve_frames(const uintptr_t* addresses, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uintptr_t address = addresses[i];
        // An address that could not be resolved is cached too, so it is not
        // looked up again.
        if (address == 0 || cached_frame(address) != nullptr) continue;
        BindingLockHolder hold;
        lookups.fetch_add(1, std::memory_order_relaxed);
        lookup_frame(address, keep_found, nullptr);
    }
}

const ResolvedFrame* resolve_frame(uintptr_t address) {
    resolve_frames(&address, 1);
    return cached_frame(address);
}

const ResolvedFrame* cached_frame(uintptr_t address) {
    if (address == 0) return nullptr;
    FrameCacheLockHolder hold;
    return find_cached(address);
}

void known_frames(const uintptr_t* addresses, size_t count, ResolvedFrame* out) {
    FrameCacheLockHolder hold;
    for (size_t i = 0; i < count; ++i) {
        const ResolvedFrame* cached = find_cached(addresses[i]);
        out[i] = cached != nullptr
                     ? *cached
                     : ResolvedFrame{addresses[i], empty_text, empty_text, empty_text, 0};
    }
}

size_t uncached_frames(const uintptr_t* addresses, size_t count, uintptr_t* out) {
    FrameCacheLockHolder hold;
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        if (addresses[i] != 0 && find_cached(addresses[i]) == nullptr) out[kept++] = addresses[i];
    }
    return kept;
}

void drop_frame_cache() {
    FrameCacheLockHolder hold;
    if (pins == 0) {
        drop_now();
    } else {
        drop_wanted = true;
    }
}

uint32_t frame_lookup_count() {
    return lookups.load(std::memory_order_relaxed);
}

}  // namespace tarvex
