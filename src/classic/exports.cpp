// The three exported functions. A handle is a record plus a chain of blocks,
// newest first; pieces are carved from the newest block in order and all of
// them are released together with the handle.
#include <cstdlib>
#include <cstring>

#include "block.h"
#include "debug_log.h"
#include "records.h"
#include "tarvex/classic.h"

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
