// Storage for resolved frames and their texts: everything taken from the
// arena lives until release(), which gives it all back at once.
#pragma once

#include <stddef.h>

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
