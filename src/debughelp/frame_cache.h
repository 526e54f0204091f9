// The frame cache: each distinct address goes to the back end once, until
// drop_frame_cache. resolve_frame and drop_frame_cache are declared in
// debug_help.h; this header adds what tests and diagnostics may read.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// The arena of texts
//
// Storage for resolved frames and their texts: everything taken from the
// arena lives until release(), which gives it all back at once.
// ---------------------------------------------------------------------------

namespace tarvex {

class FrameArena {
public:
    static constexpr size_t chunk_size = 16384;

    FrameArena() = default;
    ~FrameArena() { release(); }
    FrameArena(const FrameArena&) = delete;
    FrameArena& operator=(const FrameArena&) = delete;

    // `bytes` at the given alignment (1 packs requests back to back); null
    // when the runtime has no memory left.
    void* take(size_t bytes, size_t alignment);
    // A copy of `text` with its terminator; null when out of memory.
    const char* copy_text(const char* text);
    // Gives every chunk back, newest first.
    void release();

    size_t chunk_count() const;

private:
    struct Chunk {
        Chunk* previous;
        char* cursor;
        char* end;
        // storage follows the header
    };

    static Chunk* make_chunk(size_t capacity);

    // The chunk that serves requests; older chunks are never used again,
    // except that a request larger than a chunk gets one of its own size,
    // linked behind the newest so that the newest keeps serving.
    Chunk* newest_ = nullptr;
};

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The cache
// ---------------------------------------------------------------------------

namespace tarvex {

// Copies to `out` each address that is not 0 and not cached; returns how
// many. One turn of the cache's lock for them all.
size_t uncached_frames(const uintptr_t* addresses, size_t count, uintptr_t* out);

// Addresses handed to the back end since the library was loaded.
uint32_t frame_lookup_count();

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Requests
//
// The frames a report needs, gathered under the library lock and resolved
// after leaving it: each distinct address that the cache lacks, once.
// ---------------------------------------------------------------------------

namespace tarvex {

class FrameRequest {
public:
    FrameRequest() = default;
    ~FrameRequest();
    FrameRequest(const FrameRequest&) = delete;
    FrameRequest& operator=(const FrameRequest&) = delete;

    // Adds the addresses that are not 0 and not cached. Storage comes from
    // the runtime heap; an address that finds none is left out, and is
    // written unresolved.
    void add(const uintptr_t* addresses, size_t count);
    bool empty() const { return count_ == 0; }
    // Resolves what was gathered and empties the request. pre: as for
    // resolve_frames.
    void resolve();

private:
    void add_one(uintptr_t address);
    // Sorts the addresses and removes repeats.
    void compact();
    // Doubles the room; unchanged when the heap has none.
    void grow();

    uintptr_t* addresses_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

}  // namespace tarvex
