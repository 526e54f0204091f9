// Under AddressSanitizer the pools poison what they have not handed out: a
// stray access faults at the access itself, not at a later crash, and what
// the pools give back carries no poison to the heap's next user.
#include "pools/poisoning_support.h"
#include "pools/pool_test_support.h"
#include "pools/recording_dispatch.h"

#if defined(TARVEX_ASAN)

namespace {

using PoolPoisoningDeathTest = PoisoningDeathTest;

// The first fragment handed out is the block's highest: the byte past it is
// the block's slack. Past a lower one it is the free fragment above.
TEST_F(PoolPoisoningDeathTest, WriteOnePastAFragment) {
    FragmentPool pool(0, 8, 32, 4, pool_heap());
    char* top = static_cast<char*>(pool.pool_alloc(8));
    char* below = static_cast<char*>(pool.pool_alloc(8));
    memset(top, 0, 8);
    EXPECT_DEATH(write_byte(top + 8), stray_write);
    pool.pool_free(top);
    EXPECT_DEATH(write_byte(below + 8), stray_write);
}

// A freed fragment is poisoned whole, the link word the pool keeps in it too.
TEST_F(PoolPoisoningDeathTest, ReadAFreedFragment) {
    FragmentPool pool(0, 16, 8, 4, pool_heap());
    char* fragment = static_cast<char*>(pool.pool_alloc(16));
    pool.pool_alloc(16);
    pool.pool_free(fragment);
    EXPECT_DEATH(read_byte(fragment), stray_read);
    EXPECT_DEATH(read_byte(fragment + 15), stray_read);
    // Handed out again, it is the caller's to use.
    EXPECT_EQ(pool.pool_alloc(16), fragment);
    memset(fragment, 0, 16);
}

// Pieces of odd sizes: the byte after the newest piece is poisoned even
// inside a granule.
TEST_F(PoolPoisoningDeathTest, WriteOnePastAGrowOnlyPiece) {
    GrowOnlyPool pool(256, pool_heap());
    char* first = static_cast<char*>(pool.pool_alloc(5));
    memset(first, 0, 5);
    EXPECT_DEATH(write_byte(first + 5), stray_write);
    char* second = static_cast<char*>(pool.pool_alloc(6));
    memset(second, 0, 6);
    EXPECT_DEATH(write_byte(second + 6), stray_write);
}

// A copy of a text ends at its terminator.
TEST_F(PoolPoisoningDeathTest, ReadPastAStringCopy) {
    StaticStringPool pool(0, 64, pool_heap());
    const char* copy = pool.str_add("abc");
    EXPECT_DEATH(read_byte(copy + 4), stray_read);
}

// The pools give their blocks back unpoisoned: here to a grow-only context,
// which keeps them as they are, so any poison left would strike its next
// user.
TEST(PoolPoisoning, ReleasedBlocksCarryNoPoison) {
    constexpr uint32_t arena_id = 0x7002;
    Tarvex::ContextBase arena("Pool test arena", arena_id, Tarvex::GrowOnly);
    arena.size_hint = 64 * 1024;
    Tarvex::context_init(arena);
    RecordingDispatch heap(arena_id);
    const auto blocks = [&heap] {
        std::vector<std::pair<const void*, uint32_t>> obtained;
        for (const auto& call : heap.take()) {
            if (call.is_alloc) obtained.emplace_back(call.block, call.size);
        }
        return obtained;
    };
    const auto unpoisoned = [](const std::vector<std::pair<const void*, uint32_t>>& list) {
        for (const auto& block : list) {
            if (__asan_region_is_poisoned(const_cast<void*>(block.first), block.second)) {
                return false;
            }
        }
        return true;
    };

    FragmentPool fragments(0, 8, 4, 4, arena_id);
    fragments.pool_alloc(8);  // kept: its block stays until clear
    void* others[7];
    for (void*& other : others) other = fragments.pool_alloc(8);
    for (void* other : others) fragments.pool_free(other);
    const auto fragment_blocks = blocks();
    ASSERT_EQ(fragment_blocks.size(), 2u);
    fragments.run_gc();  // gives back the wholly free block
    fragments.clear();   // and the one with a fragment still in use
    EXPECT_TRUE(unpoisoned(fragment_blocks));

    GrowOnlyPool pieces(100, arena_id);
    pieces.pool_alloc(10);
    pieces.pool_alloc(200);
    StaticStringPool texts(40, 64, arena_id);
    texts.str_add("a text");
    const auto other_blocks = blocks();
    ASSERT_EQ(other_blocks.size(), 3u);
    pieces.clear();
    texts.clear();
    EXPECT_TRUE(unpoisoned(other_blocks));
}

}  // namespace

#endif
