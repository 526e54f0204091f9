// The legacy block allocator: three exported functions over a handle, a
// record plus a chain of blocks, newest first; pieces are carved from the
// newest block in order and all of them are released together with the
// handle, which may keep a text log of its blocks.

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "records.h"
#include "tarvex/classic.h"

// ---------------------------------------------------------------------------
// Blocks
// ---------------------------------------------------------------------------

namespace tarvex_classic {

// Allocates a zero-filled block with room for pieces of up to size bytes and
// logs it when the handle logs. The block is not linked into the handle.
// Returns null when the heap is exhausted.
// pre: 0 <= size <= largest_block_size
BlockHeader* make_block(HandleRecord* handle, int32_t size) {
    const int32_t total = round_up_8(size) + block_overhead;
    // calloc rather than malloc and a fill: for a large block the heap can
    // hand out pages that are zero already instead of touching each one.
    void* memory = std::calloc(1, static_cast<size_t>(total));
    if (memory == nullptr) {
        return nullptr;
    }
    if (handle->logging) {
        std::fprintf(handle->log, "MemBlock Allocated, Address: %p BlkSize: %d\n", memory,
                     static_cast<int>(total));
    }
    auto* block = static_cast<BlockHeader*>(memory);
    std::memcpy(block->magic, "ZKTX", sizeof block->magic);
    block->total_size = total;
    block->free_bytes = total - static_cast<int32_t>(sizeof(BlockHeader));
    block->next_free = sizeof(BlockHeader);
    return block;
}

}  // namespace tarvex_classic

// ---------------------------------------------------------------------------
// The debug log
// ---------------------------------------------------------------------------

namespace tarvex_classic {

namespace {

// A backslash on POSIX would become part of the file name instead of
// separating it from the directory.
#ifdef _WIN32
constexpr char dir_separator[] = "\\";
#else
constexpr char dir_separator[] = "/";
#endif

constexpr size_t path_buffer_size = 200;

}  // namespace

// Opens "TX<time>.dbg" in the directory named by "tmp", or in the current
// directory when "tmp" is unset or empty, and writes the handle line. When the
// file cannot be created, or its path does not fit the path buffer, the
// handle simply runs without a log.
// pre: handle->block_size is set
void open_debug_log(HandleRecord* handle) {
    // The file is named after the time in seconds, as a 32-bit number.
    const int stamp = static_cast<int32_t>(std::time(nullptr));
    const char* dir = std::getenv("tmp");
    char path[path_buffer_size];
    int length;
    if (dir != nullptr && dir[0] != '\0') {
        length = std::snprintf(path, sizeof path, "%s%sTX%d.dbg", dir, dir_separator, stamp);
    } else {
        length = std::snprintf(path, sizeof path, "TX%d.dbg", stamp);
    }
    // A cut path would name some other file, possibly in another directory,
    // so a path that does not fit means no log at all.
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        return;
    }
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return;
    }
    handle->log = file;
    handle->logging = 1;
    std::fprintf(file, "Handle allocated Address:    %p Blksize: %d\n", static_cast<void*>(handle),
                 static_cast<int>(handle->block_size));
}

// Closes the log; the handle writes nothing more afterwards.
void close_debug_log(HandleRecord* handle) {
    if (handle->log != nullptr) {
        std::fclose(handle->log);
    }
    handle->log = nullptr;
    handle->logging = 0;
}

}  // namespace tarvex_classic

// ---------------------------------------------------------------------------
// The exported functions
// ---------------------------------------------------------------------------

using tarvex_classic::BlockHeader;
using tarvex_classic::HandleRecord;

extern "C" TARVEX_CLASSIC_API void* TXInit(int32_t block_size, int32_t debug) {
    // Refused before anything is made, so a refused call leaves no log file.
    if (block_size < 0 || block_size > tarvex_classic::largest_block_size) {
        return nullptr;
    }
    auto* handle = static_cast<HandleRecord*>(std::calloc(1, sizeof(HandleRecord)));
    if (handle == nullptr) {
        return nullptr;
    }
    handle->record_length = sizeof(HandleRecord);
    std::memcpy(handle->magic, "ZKMH", sizeof handle->magic);
    handle->block_size = tarvex_classic::round_up_8(block_size);
    if (debug != 0) {
        tarvex_classic::open_debug_log(handle);
    }
    BlockHeader* first = tarvex_classic::make_block(handle, handle->block_size);
    if (first == nullptr) {
        // The log keeps its handle line, and is closed so the stream does not leak.
        tarvex_classic::close_debug_log(handle);
        std::free(handle);
        return nullptr;
    }
    handle->current = first;
    return handle;
}

extern "C" TARVEX_CLASSIC_API void* TXGetStor(void* handle_pointer, int32_t size) {
    // A negative size or one the rounding would overflow is no request at
    // all: refused without touching the handle or its log.
    if (handle_pointer == nullptr || size < 0 || size > tarvex_classic::largest_roundable) {
        return nullptr;
    }
    auto* handle = static_cast<HandleRecord*>(handle_pointer);
    int32_t length = tarvex_classic::round_up_8(size);
    if (length > handle->block_size) {
        if (handle->logging) {
            std::fprintf(handle->log, "Large Block Req %d, Max: %d\n", static_cast<int>(length),
                         static_cast<int>(handle->block_size));
            tarvex_classic::close_debug_log(handle);
        }
        return nullptr;
    }
    length += tarvex_classic::length_word_size;

    BlockHeader* block = handle->current;
    if (block->free_bytes < length) {
        // The rest of the old block is abandoned: pieces are never searched for.
        BlockHeader* fresh = tarvex_classic::make_block(handle, handle->block_size);
        if (fresh == nullptr) {
            return nullptr;
        }
        fresh->older = block;
        handle->current = fresh;
        block = fresh;
    }
    char* piece = reinterpret_cast<char*>(block) + block->next_free;
    std::memcpy(piece, &length, sizeof length);
    block->free_bytes -= length;
    block->next_free += length;
    return piece + tarvex_classic::length_word_size;
}

extern "C" TARVEX_CLASSIC_API int32_t TXFreeBlock(void* handle_pointer) {
    if (handle_pointer == nullptr) {
        return 0;
    }
    auto* handle = static_cast<HandleRecord*>(handle_pointer);
    BlockHeader* block = handle->current;
    while (block != nullptr) {
        BlockHeader* older = block->older;
        if (handle->logging) {
            std::fprintf(handle->log, "Freeing Mem Block Address:   %p\n",
                         static_cast<void*>(block));
        }
        std::free(block);
        block = older;
    }
    if (handle->logging) {
        std::fprintf(handle->log, "Freeing Handle:              %p\n", handle_pointer);
        tarvex_classic::close_debug_log(handle);
    }
    std::free(handle);
    return 0;
}
