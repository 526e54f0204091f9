// The keep-or-move rule of reallocation and the plain heap-shaped exports.
// The dispatch table is the seam: a test occupant of std_size reports the
// size the rule is to see.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"

namespace {

uint32_t reported_size = 0;
uint32_t report_size(const void*, uint32_t) {
    return reported_size;
}

int allocations = 0;
void* fail_alloc(uint32_t, uint32_t) {
    ++allocations;
    return nullptr;
}

// Reallocates a real 1000-byte block whose size the rule sees as `old_size`.
bool keeps(uint32_t old_size, uint32_t new_size) {
    DispatchSwap swap;
    reported_size = old_size;
    Tarvex::my_func_table.std_size = report_size;
    void* block = Tarvex::std_alloc(1000, 0);
    std::memset(block, 0x5a, 1000);
    void* result = Tarvex::std_realloc(block, new_size, 0);
    const bool kept = result == block;
    if (!kept) {
        const uint32_t copied = old_size < new_size ? old_size : new_size;
        std::vector<unsigned char> expected(copied, 0x5a);
        EXPECT_EQ(std::memcmp(result, expected.data(), copied), 0);
    }
    Tarvex::std_free(result, 0);
    return kept;
}

}  // namespace

TEST(Reallocation, KeepsOrMovesAtTheBoundaries) {
    EXPECT_TRUE(keeps(100, 50));    // small blocks never shrink
    EXPECT_FALSE(keeps(100, 300));  // growing always moves
    EXPECT_FALSE(keeps(100, 101));
    EXPECT_TRUE(keeps(100, 100));
    EXPECT_TRUE(keeps(1000, 700));   // 700 * 3 / 2 = 1050 >= 1000
    EXPECT_FALSE(keeps(1000, 600));  // 900 < 1000: shrinks by moving, 600 copied
    EXPECT_TRUE(keeps(1000, 667));   // 1000 exactly
    EXPECT_FALSE(keeps(1000, 666));  // 999
    EXPECT_TRUE(keeps(1000, 256));
    EXPECT_FALSE(keeps(1000, 257));
    EXPECT_TRUE(keeps(1000, 0));  // size 0 keeps: nothing is freed
}

TEST(Reallocation, RealBlocksMoveWithTheirBytes) {
    auto* block = static_cast<unsigned char*>(tarvex_malloc(100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) block[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(tarvex_realloc(block, 50), block);
    auto* moved = static_cast<unsigned char*>(tarvex_realloc(block, 300));
    ASSERT_NE(moved, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(moved[i], i);
    tarvex_free(moved);
    EXPECT_EQ(tarvex_realloc(nullptr, 10), nullptr);
    tarvex_free(nullptr);
}

// A failed allocation leaves the old block untouched and returns null.
TEST(Reallocation, FailedMoveKeepsTheOldBlock) {
    auto* block = static_cast<unsigned char*>(tarvex_malloc(64));
    std::memset(block, 0x11, 64);
    {
        DispatchSwap swap;
        Tarvex::my_func_table.std_alloc = fail_alloc;
        EXPECT_EQ(Tarvex::std_realloc(block, 4096, 0), nullptr);
    }
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0x11);
    tarvex_free(block);
}

// An unknown context: the old size reads 0, nothing is copied, null returned.
TEST(Reallocation, UnknownContextLeavesTheBlockAlone) {
    LogCapture log;
    int local = 7;
    EXPECT_EQ(Tarvex::std_realloc(&local, 8, 0x0badbeef), nullptr);
    EXPECT_EQ(local, 7);
    EXPECT_EQ(log.count("Tarvex: ERROR: Context not set\n"), 2u);
}

TEST(Calloc, ZeroesAndRefusesOverflow) {
    auto* block = static_cast<unsigned char*>(tarvex_calloc(10, 12));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(block[i], 0);
    tarvex_free(block);

    DispatchSwap swap;
    Tarvex::my_func_table.std_alloc = fail_alloc;
    allocations = 0;
    EXPECT_EQ(tarvex_calloc(0x10000, 0x10000), nullptr);  // 2^32 does not fit
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(tarvex_calloc(4, 4), nullptr);  // the slot fails: nothing is cleared
    EXPECT_EQ(allocations, 1);
}
