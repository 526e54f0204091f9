// The grow-only context: blocks of a quarter of the size hint (at least
// 4096 bytes) from the library's own context, pieces back to back behind a
// 4-byte header, releases that do nothing, everything back at shutdown.
#include "contexts/grow_only_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "contexts/context_test_support.h"
#include "pools/recording_dispatch.h"

// The packed layout of the 32-bit targets, on every target.
using GrowOnlyContext = tarvex::GrowOnlyContext<tarvex::PackedLayout, tarvex::Sharing::locked>;

namespace {

using ArenaContext = LocalContext<GrowOnlyContext>;

// Block size max(size_hint / 4, 4096), seen in the first request.
TEST(GrowOnlyContext, BlockSizeFollowsTheSizeHint) {
    RecordingDispatch library(tarvex_ids::library_context);
    const std::pair<uint32_t, uint32_t> hints[] = {{0, 4096},     {100, 4096},   {16383, 4096},
                                                   {16384, 4096}, {16391, 4097}, {40000, 10000}};
    for (const auto& [hint, block_size] : hints) {
        SCOPED_TRACE(hint);
        ArenaContext arena(Tarvex::multi_threaded, hint);
        arena->std_alloc(10);
        EXPECT_EQ(library.alloc_sizes(), std::vector<uint32_t>{block_size + node_size});
    }
}

// Two 10-byte std blocks lie 14 bytes apart, each behind its header.
TEST(GrowOnlyContext, StdBlocksFollowEachOther) {
    ArenaContext arena;
    char* a = static_cast<char*>(arena->std_alloc(10));
    char* b = static_cast<char*>(arena->std_alloc(10));
    EXPECT_EQ(b - a, 14);
    EXPECT_EQ(arena->std_size(a), 10u);
    EXPECT_EQ(arena->std_size(b), 10u);
    uint32_t header;
    std::memcpy(&header, b - 4, 4);
    EXPECT_EQ(header, 14u);
    // fast blocks carry no header.
    char* c = static_cast<char*>(arena->fast_alloc(3));
    char* d = static_cast<char*>(arena->fast_alloc(3));
    EXPECT_EQ(c, b + 10);
    EXPECT_EQ(d, c + 3);
}

// A request above the block size gets a block of exactly its size (plus the
// header for std_alloc); the next request starts a new block.
TEST(GrowOnlyContext, OversizedRequests) {
    RecordingDispatch library(tarvex_ids::library_context);
    ArenaContext arena;
    arena->std_alloc(5000);
    arena->std_alloc(10);
    arena->fast_alloc(6000);
    EXPECT_EQ(library.alloc_sizes(),
              (std::vector<uint32_t>{5004 + node_size, 4096 + node_size, 6000 + node_size}));
}

// Releases change nothing; shutdown gives every block back at once.
TEST(GrowOnlyContext, OnlyShutdownGivesMemoryBack) {
    RecordingDispatch library(tarvex_ids::library_context);
    ArenaContext arena;
    char* first = static_cast<char*>(arena->std_alloc(10));
    arena->std_free(first);
    void* fast = arena->fast_alloc(10);
    arena->fast_free(fast, 10);
    EXPECT_EQ(arena->std_alloc(10), first + 24);
    for (int i = 0; i < 3; ++i) arena->std_alloc(3000);
    std::set<const void*> obtained;
    for (const auto& call : library.take()) {
        EXPECT_TRUE(call.is_alloc);
        obtained.insert(call.block);
    }
    EXPECT_EQ(obtained.size(), 3u);

    arena.shutdown();
    std::set<const void*> returned;
    for (const auto& call : library.take()) {
        EXPECT_FALSE(call.is_alloc);
        returned.insert(call.block);
    }
    EXPECT_EQ(returned, obtained);
}

// Sizes that would wrap 32 bits, and a library context without storage,
// give null and leave the context usable.
TEST(GrowOnlyContext, RefusalsLeaveTheContextUsable) {
    RecordingDispatch library(tarvex_ids::library_context);
    ArenaContext arena;
    EXPECT_EQ(arena->std_alloc(UINT32_MAX - 3), nullptr);
    EXPECT_EQ(arena->std_alloc(UINT32_MAX - 4), nullptr);
    EXPECT_EQ(arena->fast_alloc(UINT32_MAX), nullptr);
    EXPECT_TRUE(library.take().empty());

    library.fail_requests(true);
    EXPECT_EQ(arena->std_alloc(10), nullptr);
    EXPECT_EQ(arena->fast_alloc(10), nullptr);
    library.fail_requests(false);
    char* block = static_cast<char*>(arena->std_alloc(10));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(arena->std_size(block), 10u);
}

}  // namespace
