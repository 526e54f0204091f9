// The small-block list context: the byte count picks one of seven pools (the
// std family after adding its 4-byte header), pools grow by whole groups
// from the library's own context, and collection and shutdown give the
// blocks back there.
#include "contexts/small_blk_list_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "contexts/context_test_support.h"
#include "pools/recording_dispatch.h"

// The packed layout of the 32-bit targets, on every target.
using SmallBlkListContext =
    tarvex::SmallBlkListContext<tarvex::PackedLayout, tarvex::Sharing::locked>;

namespace {

using SmallContext = LocalContext<SmallBlkListContext>;

uint32_t grow_count_of(uint32_t fragment) {
    return fragment <= 32 ? 32 : fragment == 48 ? 16 : 8;
}

std::set<const void*> blocks(const std::vector<BlockCall>& calls, bool allocs) {
    std::set<const void*> found;
    for (const auto& call : calls) {
        if (call.is_alloc == allocs) found.insert(call.block);
    }
    return found;
}

// Pool blocks given back: releases of blocks not obtained in the same
// stretch of calls, which leaves out the collection's scratch memory.
std::set<const void*> pool_blocks_released(const std::vector<BlockCall>& calls) {
    std::set<const void*> released = blocks(calls, false);
    for (const void* scratch : blocks(calls, true)) released.erase(scratch);
    return released;
}

// Each byte count lands in the smallest class that holds it; above 128 the
// runtime heap serves without any pool growing. The std family counts its
// 4-byte header, which moves every boundary down by 4.
TEST(SmallBlkListContext, SizeClassBoundaries) {
    struct Case {
        bool std_family;
        uint32_t size;
        uint32_t fragment;  // 0: the runtime heap
    };
    const Case cases[] = {
        {false, 0, 8},     {false, 8, 8},   {false, 9, 16},   {false, 16, 16},   {false, 17, 32},
        {false, 32, 32},   {false, 33, 48}, {false, 48, 48},  {false, 49, 64},   {false, 64, 64},
        {false, 65, 96},   {false, 96, 96}, {false, 97, 128}, {false, 124, 128}, {false, 125, 128},
        {false, 128, 128}, {false, 129, 0}, {true, 0, 8},     {true, 4, 8},      {true, 5, 16},
        {true, 8, 16},     {true, 9, 16},   {true, 12, 16},   {true, 13, 32},    {true, 124, 128},
        {true, 125, 0},    {true, 128, 0},  {true, 129, 0},
    };
    RecordingDispatch library(tarvex_ids::library_context);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.std_family ? "std_alloc " : "fast_alloc ") << c.size);
        SmallContext small;
        void* block = c.std_family ? small->std_alloc(c.size) : small->fast_alloc(c.size);
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xab, c.size);
        const std::vector<uint32_t> expected =
            c.fragment == 0
                ? std::vector<uint32_t>{}
                : std::vector<uint32_t>{pool_block(c.fragment, grow_count_of(c.fragment))};
        EXPECT_EQ(library.alloc_sizes(), expected);
        if (c.std_family) {
            EXPECT_EQ(small->std_size(block), c.size);
            small->std_free(block);
        } else {
            small->fast_free(block, c.size);
        }
    }
}

// std_alloc of 0 bytes: a usable address 4 bytes into an 8-byte fragment,
// whose header holds 4.
TEST(SmallBlkListContext, StdBlockHeader) {
    RecordingDispatch library(tarvex_ids::library_context);
    SmallContext small;
    char* block = static_cast<char*>(small->std_alloc(0));
    const auto calls = library.take();
    ASSERT_EQ(calls.size(), 1u);
    uint32_t header;
    std::memcpy(&header, block - 4, 4);
    EXPECT_EQ(header, 4u);
    const uintptr_t first = (address(calls[0].block) + 3) & ~uintptr_t{3};
    EXPECT_EQ((address(block - 4) - first) % 8, 0u);
    EXPECT_EQ(small->std_size(block), 0u);

    char* large = static_cast<char*>(small->std_alloc(1000));
    std::memcpy(&header, large - 4, 4);
    EXPECT_EQ(header, 1004u);
    EXPECT_EQ(small->std_size(large), 1000u);
    small->std_free(large);
    small->std_free(block);
}

// Each pool grows by its whole group of fragments, one request per group.
TEST(SmallBlkListContext, PoolsGrowInWholeGroups) {
    RecordingDispatch library(tarvex_ids::library_context);
    for (uint32_t fragment : {8u, 16u, 32u, 48u, 64u, 96u, 128u}) {
        SCOPED_TRACE(fragment);
        SmallContext small;
        const uint32_t group = grow_count_of(fragment);
        for (uint32_t i = 0; i < group; ++i) small->fast_alloc(fragment);
        EXPECT_EQ(library.alloc_sizes().size(), 1u);
        small->fast_alloc(fragment);
        EXPECT_EQ(library.alloc_sizes(), std::vector<uint32_t>{pool_block(fragment, group)});
    }
}

// run_gc gives the wholly free blocks back to the library's own context and
// keeps a pool with a fragment in use; shutdown gives back the rest.
TEST(SmallBlkListContext, CollectionAndShutdownGiveBlocksBack) {
    RecordingDispatch library(tarvex_ids::library_context);
    SmallContext small;
    std::vector<void*> eights;
    for (int i = 0; i < 40; ++i) eights.push_back(small->fast_alloc(8));
    void* in_use = small->std_alloc(40);
    const auto grown = library.take();
    ASSERT_EQ(grown.size(), 3u);
    for (void* block : eights) small->fast_free(block, 8);

    small->run_gc();
    const std::set<const void*> eight_pool = {grown[0].block, grown[1].block};
    EXPECT_EQ(pool_blocks_released(library.take()), eight_pool);

    small->run_gc();
    EXPECT_TRUE(pool_blocks_released(library.take()).empty());
    small->std_free(in_use);
    small.shutdown();
    EXPECT_EQ(blocks(library.take(), false), std::set<const void*>{grown[2].block});
}

// Shutdown gives back every block of every pool, fragments in use or not.
TEST(SmallBlkListContext, ShutdownGivesBackEveryBlock) {
    RecordingDispatch library(tarvex_ids::library_context);
    SmallContext small;
    for (uint32_t size = 0; size <= 128; size += 3) small->fast_alloc(size);
    for (uint32_t size = 0; size <= 124; size += 5) small->std_alloc(size);
    const auto grown = library.take();
    EXPECT_GE(blocks(grown, true).size(), 7u);
    small.shutdown();
    EXPECT_EQ(blocks(library.take(), false), blocks(grown, true));
}

// A size whose header would wrap 32 bits returns null and never reaches a
// small class; a pool that cannot grow returns null and grows later.
TEST(SmallBlkListContext, RefusalsLeaveTheContextUsable) {
    RecordingDispatch library(tarvex_ids::library_context);
    SmallContext small;
    EXPECT_EQ(small->std_alloc(UINT32_MAX), nullptr);
    EXPECT_EQ(small->std_alloc(UINT32_MAX - 3), nullptr);
    EXPECT_TRUE(library.take().empty());

    library.fail_requests(true);
    EXPECT_EQ(small->fast_alloc(8), nullptr);
    EXPECT_EQ(small->std_alloc(8), nullptr);
    void* large = small->fast_alloc(200);  // the runtime heap, no pool
    EXPECT_NE(large, nullptr);
    small->fast_free(large, 200);
    library.fail_requests(false);
    library.take();

    void* block = small->std_alloc(8);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(small->std_size(block), 8u);
    EXPECT_EQ(library.alloc_sizes(), std::vector<uint32_t>{pool_block(16, 32)});
    small->std_free(block);
}

// A single-threaded context serves the same way without a lock.
TEST(SmallBlkListContext, SingleThreadedContextServes) {
    SmallContext small(0);
    std::vector<void*> blocks;
    for (uint32_t size = 1; size < 200; size += 7) {
        void* block = small->std_alloc(size);
        std::memset(block, 0x5a, size);
        blocks.push_back(block);
    }
    for (void* block : blocks) small->std_free(block);
    small->run_gc();
}

}  // namespace
