#include "debughelp/frame_arena.h"

#include <stdint.h>

#include <cstdlib>
#include <cstring>

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
