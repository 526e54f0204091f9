// The fragment pool's carving: alignment and size rounding, fragments handed
// out from the highest address down, reuse after a release, and the refusals
// that keep a pool from looping or carving from a missing block.
#include <gtest/gtest.h>

#include <algorithm>

#include "pools/fragment_pool_access.h"
#include "pools/pool_test_support.h"
#include "pools/recording_dispatch.h"

namespace {

const char* const invalid_grow_count = "Tarvex: ERROR: Invalid grow count\n";
const char* const exceeds_limits = "Tarvex: ERROR: Block exceeds limits\n";

// Fragments hold a pointer when free, so the smallest one is a pointer wide.
constexpr uint32_t smallest_fragment = std::max<uint32_t>(4, sizeof(void*));

// Alignment starts at 4 and doubles; the fragment size rounds up to it.
TEST(FragmentPool, RoundsAlignmentAndSize) {
    RecordingDispatch heap(pool_heap());
    TestFragmentPool tiny(0, 1, 32, 0, pool_heap_id);
    EXPECT_EQ(tiny.fragment_size, smallest_fragment);
    EXPECT_EQ(tiny.align_mask, 3u);
    tiny.pool_alloc(1);
    EXPECT_EQ(heap.alloc_sizes(), std::vector<uint32_t>{32 * smallest_fragment + 3 + node_size});

    EXPECT_EQ(TestFragmentPool(0, 10, 32, 8, pool_heap_id).fragment_size, 16u);
    EXPECT_EQ(TestFragmentPool(0, 24, 32, 16, pool_heap_id).fragment_size, 32u);
    EXPECT_EQ(TestFragmentPool(0, 8, 32, 5, pool_heap_id).align_mask, 7u);
    EXPECT_EQ(TestFragmentPool(0, 8, 32, 4, pool_heap_id).align_mask, 3u);
    EXPECT_EQ(TestFragmentPool(0, 8, 32, 9, pool_heap_id).align_mask, 15u);

    TestFragmentPool aligned(0, 24, 4, 16, pool_heap_id);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(address(aligned.pool_alloc(24)) % 16, 0u);
}

// One block of grow_count fragments: the first fragment at the block's first
// byte rounded up, the highest handed out first, then downward.
TEST(FragmentPool, HandsOutFromTheHighestFragmentDown) {
    RecordingDispatch heap(pool_heap());
    TestFragmentPool pool(0, 8, 32, 4, pool_heap_id);
    char* top = static_cast<char*>(pool.pool_alloc(8));
    const auto calls = heap.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].size, 259 + node_size);
    const uintptr_t first = (address(calls[0].block) + 3) & ~uintptr_t{3};
    EXPECT_EQ(address(top), first + 31 * 8);

    // The size argument chooses nothing.
    EXPECT_EQ(pool.pool_alloc(1000), top - 8);
    EXPECT_EQ(pool.in_use, 2);
    for (int i = 2; i < 32; ++i) pool.pool_alloc(8);
    EXPECT_EQ(pool.free_list, nullptr);
    EXPECT_EQ(pool.blk_count(), 1u);
    pool.pool_alloc(8);
    EXPECT_EQ(pool.blk_count(), 2u);
}

// A released fragment is the next one handed out; null is ignored.
TEST(FragmentPool, ReusesAReleasedFragment) {
    TestFragmentPool pool(0, 16, 8, 4, pool_heap());
    void* a = pool.pool_alloc(16);
    void* b = pool.pool_alloc(16);
    pool.pool_free(a);
    EXPECT_EQ(pool.in_use, 1);
    EXPECT_EQ(pool.pool_alloc(16), a);
    pool.pool_free(nullptr);
    EXPECT_EQ(pool.in_use, 2);
    pool.pool_free(b);
    pool.pool_free(a);
    EXPECT_EQ(pool.pool_alloc(16), a);
    EXPECT_EQ(pool.pool_alloc(16), b);

    // clear forgets every fragment and releases every block.
    pool.clear();
    EXPECT_EQ(pool.in_use, 0);
    EXPECT_EQ(pool.free_list, nullptr);
    EXPECT_EQ(pool.node_list, nullptr);
}

// An initial count carves its block at construction, of its own size.
TEST(FragmentPool, InitialCountCarvesAtConstruction) {
    RecordingDispatch heap(pool_heap());
    TestFragmentPool pool(10, 8, 4, 4, pool_heap_id);
    EXPECT_EQ(heap.alloc_sizes(), std::vector<uint32_t>{10 * 8 + 3 + node_size});
    for (int i = 0; i < 10; ++i) EXPECT_NE(pool.pool_alloc(8), nullptr);
    EXPECT_TRUE(heap.take().empty());
    pool.pool_alloc(8);
    EXPECT_EQ(heap.alloc_sizes(), std::vector<uint32_t>{4 * 8 + 3 + node_size});
}

// Grow count 0 is reported once, at construction; the pool then returns
// null without asking for a block and without looping.
TEST(FragmentPool, GrowCountZeroIsReported) {
    LogCapture log;
    RecordingDispatch heap(pool_heap());
    TestFragmentPool pool(0, 8, 0, 4, pool_heap_id);
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, invalid_grow_count);
    EXPECT_TRUE(lines[0].second);
    EXPECT_EQ(pool.pool_alloc(8), nullptr);
    EXPECT_EQ(pool.pool_alloc(8), nullptr);
    EXPECT_EQ(pool.in_use, 0);
    EXPECT_TRUE(heap.take().empty());
    EXPECT_TRUE(log.take().empty());

    // An initial block still serves, and the pool stops when it runs out.
    TestFragmentPool seeded(2, 8, 0, 4, pool_heap_id);
    EXPECT_NE(seeded.pool_alloc(8), nullptr);
    EXPECT_NE(seeded.pool_alloc(8), nullptr);
    EXPECT_EQ(seeded.pool_alloc(8), nullptr);
}

// Alignments above 2^31 have no 32-bit power of two: refused with error 0,
// and the pool serves nothing. 2^31 itself is accepted, but its fragments
// do not fit a 32-bit request, so no short block is ever asked for.
TEST(FragmentPool, RefusesWhatDoesNotFit32Bits) {
    LogCapture log;
    RecordingDispatch heap(pool_heap());
    for (uint32_t alignment : {0x80000001u, 0xffffffffu}) {
        TestFragmentPool pool(4, 8, 32, alignment, pool_heap_id);
        EXPECT_EQ(log.count(exceeds_limits), 1u);
        log.take();
        EXPECT_EQ(pool.pool_alloc(8), nullptr);
    }

    TestFragmentPool widest(0, 8, 1, 0x80000000u, pool_heap_id);
    EXPECT_EQ(widest.align_mask, 0x7fffffffu);
    EXPECT_EQ(widest.fragment_size, 0x80000000u);
    EXPECT_EQ(widest.pool_alloc(8), nullptr);

    // A fragment size that rounds past 32 bits is refused like an alignment.
    TestFragmentPool huge(0, 0xfffffff0u, 8, 32, pool_heap_id);
    EXPECT_EQ(log.count(exceeds_limits), 1u);
    EXPECT_EQ(huge.pool_alloc(8), nullptr);

    // A block whose fragments add up past 32 bits is never requested.
    TestFragmentPool many(0, 0x10000000u, 32, 4, pool_heap_id);
    EXPECT_EQ(many.pool_alloc(8), nullptr);
    EXPECT_TRUE(heap.take().empty());
}

// Without a block pool_alloc returns null and the pool stays as it was.
TEST(FragmentPool, NoBlockLeavesThePoolAsItWas) {
    RecordingDispatch heap(pool_heap());
    TestFragmentPool pool(0, 32, 2, 4, pool_heap_id);
    void* a = pool.pool_alloc(32);
    void* b = pool.pool_alloc(32);
    heap.fail_requests(true);
    EXPECT_EQ(pool.pool_alloc(32), nullptr);
    EXPECT_EQ(pool.in_use, 2);
    EXPECT_EQ(pool.free_list, nullptr);
    EXPECT_EQ(pool.blk_count(), 1u);
    heap.fail_requests(false);
    EXPECT_NE(pool.pool_alloc(32), nullptr);
    EXPECT_EQ(pool.blk_count(), 2u);
    pool.pool_free(a);
    pool.pool_free(b);
}

// is_owner covers a block from its first byte up to, not including, its
// record, measured by the block's own size; is_in_freelist sees free
// fragments only.
TEST(FragmentPool, OwnershipAndFreeListQueries) {
    RecordingDispatch heap(pool_heap());
    TestFragmentPool pool(10, 8, 4, 4, pool_heap_id);
    const auto calls = heap.take();
    ASSERT_EQ(calls.size(), 1u);
    const char* start = static_cast<const char*>(calls[0].block);
    const uint32_t extent = 10 * 8 + 3;
    EXPECT_TRUE(pool.is_owner(start));
    EXPECT_TRUE(pool.is_owner(start + extent - 1));  // beyond 4 fragments
    EXPECT_FALSE(pool.is_owner(start + extent));     // the record
    EXPECT_FALSE(pool.is_owner(start - 1));

    void* used = pool.pool_alloc(8);
    void* freed = pool.pool_alloc(8);
    pool.pool_free(freed);
    EXPECT_TRUE(pool.is_in_freelist(freed));
    EXPECT_FALSE(pool.is_in_freelist(used));
}

}  // namespace
