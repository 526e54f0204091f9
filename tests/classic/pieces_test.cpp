// How a handle carves pieces from its blocks: the figures of the first block,
// where each piece lands, when a new block starts and how blocks are chained.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tarvex/classic.h"
#include "test_support.h"

namespace {

using namespace classic_test;

constexpr bool is_32_bit = sizeof(void*) == 4;
constexpr int32_t header_size = sizeof(BlockHeader);

// A block holds its header plus block size + 8 bytes.
constexpr int32_t block_total(int32_t block_size) {
    return block_size + header_size + 8;
}

const char* start_of(const BlockHeader* block) {
    return bytes_of(block);
}

TEST(ClassicPieces, HandleAndFirstBlockFigures) {
    void* handle = TXInit(100, 0);
    ASSERT_NE(handle, nullptr);
    const HandleRecord& record = record_of(handle);
    EXPECT_EQ(record.record_length, int32_t(sizeof(HandleRecord)));
    EXPECT_EQ(std::memcmp(record.magic, "ZKMH", 4), 0);
    EXPECT_EQ(record.reserved, 0);
    EXPECT_EQ(record.block_size, 104);
    EXPECT_EQ(record.logging, 0);
    EXPECT_EQ(record.log, nullptr);

    const BlockHeader* block = record.current;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->older, nullptr);
    EXPECT_EQ(block->reserved, 0);
    EXPECT_EQ(block->total_size, block_total(104));
    EXPECT_EQ(std::memcmp(block->magic, "ZKTX", 4), 0);
    EXPECT_EQ(block->free_bytes, 112);
    EXPECT_EQ(block->next_free, header_size);
    if (is_32_bit) {
        EXPECT_EQ(record.record_length, 28);
        EXPECT_EQ(block->total_size, 136);
        EXPECT_EQ(block->next_free, 24);
    }
    // The block arrives zero-filled past its header.
    for (int32_t i = header_size; i < block->total_size; ++i) {
        EXPECT_EQ(start_of(block)[i], 0) << "byte " << i;
    }
    EXPECT_EQ(TXFreeBlock(handle), 0);
}

TEST(ClassicPieces, BlockSizeIsRoundedUpToEight) {
    const struct {
        int32_t given, stored;
    } cases[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {100, 104}, {4096, 4096}};
    for (const auto& c : cases) {
        void* handle = TXInit(c.given, 0);
        ASSERT_NE(handle, nullptr) << c.given;
        EXPECT_EQ(record_of(handle).block_size, c.stored) << c.given;
        EXPECT_EQ(record_of(handle).current->total_size, block_total(c.stored)) << c.given;
        TXFreeBlock(handle);
    }
}

TEST(ClassicPieces, PiecesFollowEachOtherWithTheirLengthWords) {
    void* handle = TXInit(100, 0);
    const BlockHeader* block = record_of(handle).current;

    // Size 1 rounds to 8 and takes a 4-byte length word.
    void* one = TXGetStor(handle, 1);
    EXPECT_EQ(bytes_of(one), start_of(block) + header_size + 4);
    EXPECT_EQ(length_word_of(one), 12);
    EXPECT_EQ(block->free_bytes, 112 - 12);
    EXPECT_EQ(block->next_free, header_size + 12);
    if (is_32_bit) {
        EXPECT_EQ(bytes_of(one), start_of(block) + 28);
    }

    // Size 0 still takes its length word and yields a usable address.
    void* zero = TXGetStor(handle, 0);
    EXPECT_EQ(bytes_of(zero), bytes_of(one) + 12);
    EXPECT_EQ(length_word_of(zero), 4);

    void* after_zero = TXGetStor(handle, 16);
    EXPECT_EQ(bytes_of(after_zero), bytes_of(zero) + 4);
    EXPECT_EQ(length_word_of(after_zero), 20);
    EXPECT_EQ(block->free_bytes, 112 - 12 - 4 - 20);
    EXPECT_EQ(record_of(handle).current, block);
    TXFreeBlock(handle);
}

TEST(ClassicPieces, RequestOfTheBlockSizeFitsAFreshBlockAndStartsANewOneOtherwise) {
    // In a fresh block a request of the block size fits, leaving exactly the
    // room for a size-0 piece; the next one starts a new block.
    void* handle = TXInit(100, 0);
    const BlockHeader* first = record_of(handle).current;
    void* whole = TXGetStor(handle, 104);
    EXPECT_EQ(bytes_of(whole), start_of(first) + header_size + 4);
    EXPECT_EQ(length_word_of(whole), 108);
    EXPECT_EQ(first->free_bytes, 4);
    void* last = TXGetStor(handle, 0);
    EXPECT_EQ(bytes_of(last), bytes_of(whole) + 108);
    EXPECT_EQ(first->free_bytes, 0);
    EXPECT_EQ(record_of(handle).current, first);
    void* next = TXGetStor(handle, 0);
    const BlockHeader* second = record_of(handle).current;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->older, first);
    EXPECT_EQ(bytes_of(next), start_of(second) + header_size + 4);
    TXFreeBlock(handle);

    // In a used block (100 bytes left, 108 needed) it starts a new block; the
    // rest of the old one is left unused.
    handle = TXInit(100, 0);
    first = record_of(handle).current;
    TXGetStor(handle, 1);
    void* big = TXGetStor(handle, 100);
    second = record_of(handle).current;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->older, first);
    EXPECT_EQ(bytes_of(big), start_of(second) + header_size + 4);
    EXPECT_EQ(length_word_of(big), 108);
    EXPECT_EQ(first->free_bytes, 100);
    EXPECT_EQ(second->free_bytes, 4);
    TXFreeBlock(handle);
}

TEST(ClassicPieces, RequestAboveTheBlockSizeIsRefusedAndChangesNothing) {
    void* handle = TXInit(100, 0);
    TXGetStor(handle, 8);
    const BlockHeader* block = record_of(handle).current;
    EXPECT_EQ(TXGetStor(handle, 105), nullptr);
    EXPECT_EQ(TXGetStor(handle, 4096), nullptr);
    EXPECT_EQ(record_of(handle).current, block);
    EXPECT_EQ(block->free_bytes, 112 - 12);
    EXPECT_NE(TXGetStor(handle, 104), nullptr);
    TXFreeBlock(handle);

    // A block size of 0 still serves size-0 pieces and nothing larger.
    handle = TXInit(0, 0);
    ASSERT_NE(handle, nullptr);
    void* empty = TXGetStor(handle, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(length_word_of(empty), 4);
    EXPECT_EQ(TXGetStor(handle, 1), nullptr);
    TXFreeBlock(handle);
}

TEST(ClassicPieces, BlocksAreChainedNewestFirst) {
    void* handle = TXInit(100, 0);
    std::vector<const BlockHeader*> made{record_of(handle).current};
    for (int i = 0; i < 5; ++i) {
        TXGetStor(handle, 104);
        if (record_of(handle).current != made.back()) {
            made.push_back(record_of(handle).current);
        }
    }
    ASSERT_EQ(made.size(), 5u);
    const BlockHeader* block = record_of(handle).current;
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        EXPECT_EQ(block, *it);
        block = block->older;
    }
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(TXFreeBlock(handle), 0);
}

// Pieces of every size must neither overlap nor reach outside their block:
// each keeps its own bytes until the handle is released.
TEST(ClassicPieces, PiecesKeepTheirBytes) {
    void* handle = TXInit(64, 0);
    struct Piece {
        unsigned char* bytes;
        int32_t size;
    };
    std::vector<Piece> pieces;
    for (int i = 0; i < 400; ++i) {
        const int32_t size = i % 65;
        auto* bytes = static_cast<unsigned char*>(TXGetStor(handle, size));
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 4, 0u);
        std::memset(bytes, i & 0xff, size);
        pieces.push_back({bytes, size});
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        for (int32_t j = 0; j < pieces[i].size; ++j) {
            ASSERT_EQ(pieces[i].bytes[j], i & 0xff) << "piece " << i << " byte " << j;
        }
    }
    EXPECT_EQ(TXFreeBlock(handle), 0);
}

}  // namespace
