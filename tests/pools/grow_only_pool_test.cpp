// The grow-only pool: pieces carved back to back, the rest of a block
// abandoned when a request does not fit, the caller's buffer never released,
// and no change when no block can be had.
#include <gtest/gtest.h>

#include "pools/pool_test_support.h"
#include "pools/recording_dispatch.h"

namespace {

class TestGrowOnlyPool : public GrowOnlyPool {
public:
    using GrowOnlyPool::blk_count;
    using GrowOnlyPool::cursor;
    using GrowOnlyPool::GrowOnlyPool;
    using GrowOnlyPool::mem_usage;
    using GrowOnlyPool::remaining;
};

std::vector<const void*> released(RecordingDispatch& heap) {
    std::vector<const void*> blocks;
    for (const auto& call : heap.take()) {
        if (!call.is_alloc) blocks.push_back(call.block);
    }
    return blocks;
}

// The defaults: 1024-byte blocks from "Global Context". 1000 bytes fit the
// first block; 100 do not fit the 24 left, so a second block is started.
TEST(GrowOnlyPool, AbandonsTheRestOfABlock) {
    RecordingDispatch heap(tarvex_ids::global_context);
    TestGrowOnlyPool pool;
    char* first = static_cast<char*>(pool.pool_alloc(1000));
    EXPECT_EQ(pool.remaining, 24u);
    char* second = static_cast<char*>(pool.pool_alloc(100));
    const auto calls = heap.take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].size, 1024 + node_size);
    EXPECT_EQ(calls[1].size, 1024 + node_size);
    EXPECT_EQ(first, calls[0].block);
    EXPECT_EQ(second, calls[1].block);
    EXPECT_EQ(pool.remaining, 924u);
    EXPECT_EQ(pool.mem_usage(), 2048u);
}

// A request above the block size gets a block of exactly its size; with
// nothing left, the next request starts another block.
TEST(GrowOnlyPool, OversizedRequestGetsItsOwnSize) {
    RecordingDispatch heap(pool_heap());
    TestGrowOnlyPool pool(1024, pool_heap_id);
    pool.pool_alloc(5000);
    EXPECT_EQ(pool.remaining, 0u);
    pool.pool_alloc(1);
    EXPECT_EQ(heap.alloc_sizes(), (std::vector<uint32_t>{5000 + node_size, 1024 + node_size}));
    EXPECT_EQ(pool.remaining, 1023u);
}

// Pieces follow each other without alignment; a request equal to what
// remains is served from the current block; size 0 returns the cursor.
TEST(GrowOnlyPool, CarvesBackToBack) {
    RecordingDispatch heap(pool_heap());
    TestGrowOnlyPool pool(64, pool_heap_id);
    EXPECT_EQ(pool.pool_alloc(0), nullptr);  // no block yet, none obtained
    EXPECT_TRUE(heap.take().empty());

    char* a = static_cast<char*>(pool.pool_alloc(3));
    char* b = static_cast<char*>(pool.pool_alloc(4));
    EXPECT_EQ(b, a + 3);
    EXPECT_EQ(pool.pool_alloc(0), b + 4);
    EXPECT_EQ(pool.pool_alloc(57), b + 4);
    EXPECT_EQ(pool.remaining, 0u);
    EXPECT_EQ(heap.alloc_sizes().size(), 1u);

    // pool_free takes nothing back: the bytes are never handed out again.
    TestGrowOnlyPool other(64, pool_heap_id);
    void* piece = other.pool_alloc(8);
    other.pool_free(piece);
    other.pool_free(nullptr);
    EXPECT_NE(other.pool_alloc(8), piece);
}

// The caller's buffer is carved first, never registered and never released.
TEST(GrowOnlyPool, CallersBufferIsNeverReleased) {
    RecordingDispatch heap(pool_heap());
    alignas(8) char buffer[256];
    TestGrowOnlyPool pool(buffer, sizeof(buffer), 1024, pool_heap_id);
    EXPECT_EQ(pool.pool_alloc(100), buffer);
    EXPECT_EQ(pool.pool_alloc(156), buffer + 100);
    EXPECT_TRUE(heap.take().empty());
    EXPECT_EQ(pool.blk_count(), 0u);

    void* block = pool.pool_alloc(1);
    pool.clear();
    EXPECT_EQ(released(heap), std::vector<const void*>{block});
    EXPECT_EQ(pool.cursor, nullptr);
    // After clear the buffer is forgotten: the next piece needs a block.
    EXPECT_NE(pool.pool_alloc(10), buffer + 256);
    EXPECT_EQ(heap.alloc_sizes().size(), 1u);

    // A null buffer is no buffer.
    TestGrowOnlyPool none(nullptr, 256, 1024, pool_heap_id);
    EXPECT_EQ(none.remaining, 0u);
}

// Without a block the pool returns null and keeps its current block, which
// still serves what fits; sizes that would wrap are never requested.
TEST(GrowOnlyPool, NoBlockLeavesThePoolAsItWas) {
    RecordingDispatch heap(pool_heap());
    TestGrowOnlyPool pool(64, pool_heap_id);
    char* first = static_cast<char*>(pool.pool_alloc(10));
    heap.take();

    heap.fail_requests(true);
    EXPECT_EQ(pool.pool_alloc(2000), nullptr);
    EXPECT_EQ(pool.cursor, first + 10);
    EXPECT_EQ(pool.remaining, 54u);
    EXPECT_EQ(pool.pool_alloc(10), first + 10);
    EXPECT_EQ(pool.pool_alloc(UINT32_MAX), nullptr);
    EXPECT_EQ(heap.alloc_sizes(), std::vector<uint32_t>{2000 + node_size});

    TestGrowOnlyPool fresh(64, pool_heap_id);
    EXPECT_EQ(fresh.pool_alloc(10), nullptr);
    EXPECT_EQ(fresh.cursor, nullptr);
    EXPECT_EQ(fresh.remaining, 0u);
    heap.fail_requests(false);
    EXPECT_NE(fresh.pool_alloc(10), nullptr);
}

// Destruction gives back every block.
TEST(GrowOnlyPool, DestructionReleasesEveryBlock) {
    RecordingDispatch heap(pool_heap());
    std::vector<const void*> obtained;
    {
        TestGrowOnlyPool pool(32, pool_heap_id);
        for (int i = 0; i < 3; ++i) obtained.insert(obtained.begin(), pool.pool_alloc(32));
        heap.take();
    }
    EXPECT_EQ(released(heap), obtained);
}

}  // namespace
