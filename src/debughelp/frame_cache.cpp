#include "debughelp/frame_cache.h"

#include <map>
#include <new>

#include "debughelp/debug_help.h"
#include "debughelp/frame_arena.h"
#include "debughelp/symbol_lookup.h"

namespace tarvex {

namespace {

using FrameMap = std::map<uintptr_t, const ResolvedFrame*>;

// All of this is guarded by the library lock. The cache and the arena are
// made on first use and never destroyed with the program's static objects:
// the leak report at process detach may still resolve frames after them.
FrameMap* frame_cache = nullptr;
uint32_t lookups = 0;

FrameArena& frame_arena() {
    alignas(FrameArena) static unsigned char storage[sizeof(FrameArena)];
    static FrameArena* const arena = new (storage) FrameArena;
    return *arena;
}

const char empty_text[] = "";

// Without memory for the map the record is still good until the next drop;
// it is only not found again.
void remember(uintptr_t address, const ResolvedFrame* frame) {
    try {
        if (frame_cache == nullptr) frame_cache = new FrameMap;
        frame_cache->emplace(address, frame);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

const ResolvedFrame* resolve_frame(uintptr_t address) {
    if (address == 0) return nullptr;
    if (frame_cache != nullptr) {
        const auto found = frame_cache->find(address);
        if (found != frame_cache->end()) return found->second;
    }
    FrameArena& arena = frame_arena();
    void* storage = arena.take(sizeof(ResolvedFrame), alignof(ResolvedFrame));
    if (storage == nullptr) return nullptr;
    ResolvedFrame* frame =
        new (storage) ResolvedFrame{address, empty_text, empty_text, empty_text, 0};
    ++lookups;
    lookup_frame(*frame, arena);
    // An address that could not be resolved is cached too, so it is not
    // looked up again.
    remember(address, frame);
    return frame;
}

void drop_frame_cache() {
    delete frame_cache;
    frame_cache = nullptr;
    frame_arena().release();
}

uint32_t frame_lookup_count() {
    return lookups;
}

}  // namespace tarvex
