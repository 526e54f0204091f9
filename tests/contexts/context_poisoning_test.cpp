// The pooled contexts under AddressSanitizer: a stray access through a block
// of theirs faults where it happens. It sees the fragment, not the size asked
// for: a block that does not fill its fragment can be overrun unseen up to
// the fragment's end.
#include <cstring>

#include "contexts/context_test_support.h"
#include "contexts/grow_only_context.h"
#include "contexts/small_blk_list_context.h"
#include "pools/poisoning_support.h"

#if defined(TARVEX_ASAN)

namespace {

using ContextPoisoningDeathTest = PoisoningDeathTest;

// 4 bytes and their header fill an 8-byte fragment exactly: the byte past
// the block is the pool's. A freed block is poisoned, and releasing it again
// faults at its header.
TEST_F(ContextPoisoningDeathTest, SmallBlockOverrunAndUseAfterRelease) {
    LocalContext<tarvex::SmallBlkListContext<tarvex::PackedLayout, tarvex::Sharing::locked>> small;
    char* block = static_cast<char*>(small->std_alloc(4));
    std::memset(block, 0, 4);
    EXPECT_DEATH(write_byte(block + 4), stray_write);
    char* fast = static_cast<char*>(small->fast_alloc(16));
    small->fast_free(fast, 16);
    EXPECT_DEATH(read_byte(fast), stray_read);

    small->std_free(block);
    EXPECT_DEATH(read_byte(block), stray_read);
    EXPECT_DEATH(small->std_free(block), "use-after-poison.*SmallBlkListContext<.*>::std_free");
}

// Arena blocks follow each other: the byte past the newest is poisoned.
TEST_F(ContextPoisoningDeathTest, GrowOnlyBlockOverrun) {
    LocalContext<tarvex::GrowOnlyContext<tarvex::PackedLayout, tarvex::Sharing::locked>> arena;
    char* block = static_cast<char*>(arena->std_alloc(10));
    std::memset(block, 0, 10);
    EXPECT_EQ(arena->std_size(block), 10u);
    EXPECT_DEATH(write_byte(block + 10), stray_write);
    char* fast = static_cast<char*>(arena->fast_alloc(3));
    EXPECT_DEATH(write_byte(fast + 3), stray_write);
}

}  // namespace

#endif
