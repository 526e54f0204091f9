#include "debughelp/frame_cache.h"

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "base/building_blocks.h"
#include "debughelp/binding.h"
#include "debughelp/debug_help.h"
#include "debughelp/symbol_lookup.h"

// ---------------------------------------------------------------------------
// The arena of texts
// ---------------------------------------------------------------------------

namespace tarvex {

FrameArena::Chunk* FrameArena::make_chunk(size_t capacity) {
    // The runtime heap, not a memory context: resolving frames must not
    // disturb what the report is describing. Nor operator new, which a game
    // may route into the library: chunks are taken under the frame-cache
    // lock, and the library lock must never be waited for under it.
    if (capacity > SIZE_MAX - sizeof(Chunk)) return nullptr;
    char* raw = static_cast<char*>(std::malloc(sizeof(Chunk) + capacity));
    if (raw == nullptr) return nullptr;
    Chunk* chunk = reinterpret_cast<Chunk*>(raw);
    chunk->previous = nullptr;
    chunk->cursor = raw + sizeof(Chunk);
    chunk->end = chunk->cursor + capacity;
    return chunk;
}

void* FrameArena::take(size_t bytes, size_t alignment) {
    if (newest_ != nullptr) {
        const uintptr_t cursor = reinterpret_cast<uintptr_t>(newest_->cursor);
        const size_t padding = (alignment - cursor % alignment) % alignment;
        const size_t room = static_cast<size_t>(newest_->end - newest_->cursor);
        if (padding <= room && bytes <= room - padding) {
            char* block = newest_->cursor + padding;
            newest_->cursor = block + bytes;
            return block;
        }
    }
    // Room for the worst padding, so the request always fits a fresh chunk.
    const size_t needed = bytes + alignment - 1;
    if (needed < bytes) return nullptr;
    if (needed > chunk_size) {
        Chunk* own = make_chunk(needed);
        if (own == nullptr) return nullptr;
        if (newest_ == nullptr) {
            newest_ = own;
        } else {
            own->previous = newest_->previous;
            newest_->previous = own;
        }
        own->cursor = own->end;
        const uintptr_t start = reinterpret_cast<uintptr_t>(own) + sizeof(Chunk);
        return reinterpret_cast<void*>(start + (alignment - start % alignment) % alignment);
    }
    Chunk* fresh = make_chunk(chunk_size);
    if (fresh == nullptr) return nullptr;
    fresh->previous = newest_;
    newest_ = fresh;
    return take(bytes, alignment);
}

const char* FrameArena::copy_text(const char* text) {
    const size_t length = std::strlen(text);
    char* copy = static_cast<char*>(take(length + 1, 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

void FrameArena::release() {
    while (newest_ != nullptr) {
        Chunk* previous = newest_->previous;
        std::free(newest_);
        newest_ = previous;
    }
}

size_t FrameArena::chunk_count() const {
    size_t count = 0;
    for (const Chunk* chunk = newest_; chunk != nullptr; chunk = chunk->previous) ++count;
    return count;
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The cache
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

constexpr size_t first_capacity = 256;

}  // namespace

FrameRequest::~FrameRequest() {
    std::free(addresses_);
}

void FrameRequest::add(const uintptr_t* addresses, size_t count) {
    // In slices, so the cache is asked once for many addresses.
    uintptr_t uncached[32];
    for (size_t done = 0; done < count;) {
        const size_t slice = std::min(count - done, sizeof(uncached) / sizeof(uncached[0]));
        const size_t found = uncached_frames(addresses + done, slice, uncached);
        for (size_t i = 0; i < found; ++i) add_one(uncached[i]);
        done += slice;
    }
}

void FrameRequest::add_one(uintptr_t address) {
    if (count_ == capacity_) {
        // Reports repeat the same few addresses many times: the list grows
        // only when removing repeats frees less than half of it.
        compact();
        if (2 * count_ >= capacity_) grow();
        if (count_ == capacity_) return;
    }
    addresses_[count_++] = address;
}

void FrameRequest::grow() {
    const size_t grown = capacity_ == 0 ? first_capacity : capacity_ * 2;
    if (grown > SIZE_MAX / sizeof(uintptr_t)) return;
    void* bigger = std::realloc(addresses_, grown * sizeof(uintptr_t));
    if (bigger == nullptr) return;
    addresses_ = static_cast<uintptr_t*>(bigger);
    capacity_ = grown;
}

void FrameRequest::resolve() {
    compact();
    resolve_frames(addresses_, count_);
    count_ = 0;
}

void FrameRequest::compact() {
    std::sort(addresses_, addresses_ + count_);
    count_ = static_cast<size_t>(std::unique(addresses_, addresses_ + count_) - addresses_);
}

}  // namespace tarvex
