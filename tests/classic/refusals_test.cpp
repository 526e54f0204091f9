// Calls a game can get wrong: negative sizes, sizes whose rounding or block
// would overflow 32-bit arithmetic, and a null handle. Each is refused without
// touching the handle, its log or anything outside it.
#include <gtest/gtest.h>

#include <climits>

#include "tarvex/classic.h"
#include "test_support.h"

namespace {

using namespace classic_test;

// A block is r(block size) + header + 8 bytes, and that total must stay a
// signed 32-bit number.
constexpr int32_t largest_block_size = (INT32_MAX - int32_t(sizeof(BlockHeader)) - 8) / 8 * 8;

class ClassicRefusals : public ::testing::Test {
protected:
    FreshDir work_dir{"refusals"};
    ScopedTmpVariable tmp;
    ScopedCurrentDir cwd{work_dir.path()};

    void SetUp() override { tmp.unset(); }
};

TEST_F(ClassicRefusals, InitRefusesNegativeAndOverflowingBlockSizesWithoutALog) {
    if (sizeof(void*) == 4) {
        EXPECT_EQ(largest_block_size, 2147483608);
    }
    for (int32_t size : {-1, -8, INT32_MIN, INT32_MAX, INT32_MAX - 7, largest_block_size + 1}) {
        EXPECT_EQ(TXInit(size, 1), nullptr) << size;
    }
    EXPECT_TRUE(entries_of(work_dir.path()).empty());
}

TEST_F(ClassicRefusals, GetStorRefusesNegativeAndOverflowingSizesChangingNothing) {
    void* handle = TXInit(100, 1);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(record_of(handle).logging, 1);
    ASSERT_NE(TXGetStor(handle, 8), nullptr);
    const BlockHeader* block = record_of(handle).current;
    const BlockHeader before = *block;

    for (int32_t size : {-1, -7, -8, INT32_MIN, INT32_MAX, INT32_MAX - 6}) {
        EXPECT_EQ(TXGetStor(handle, size), nullptr) << size;
        EXPECT_EQ(record_of(handle).current, block);
        EXPECT_EQ(block->free_bytes, before.free_bytes);
        EXPECT_EQ(block->next_free, before.next_free);
        EXPECT_EQ(record_of(handle).logging, 1);
    }

    // The largest size that still rounds is an ordinary large request.
    EXPECT_EQ(TXGetStor(handle, INT32_MAX - 7), nullptr);
    EXPECT_EQ(record_of(handle).logging, 0);
    TXFreeBlock(handle);

    const auto logs = log_files_in(work_dir.path());
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = read_bytes(logs[0]);
    EXPECT_NE(log.find("Large Block Req 2147483640, Max: 104"), std::string::npos) << log;
    EXPECT_EQ(log.find("Large Block Req", log.find("Large Block Req") + 1), std::string::npos);
}

TEST_F(ClassicRefusals, NullHandleIsIgnored) {
    EXPECT_EQ(TXGetStor(nullptr, 8), nullptr);
    EXPECT_EQ(TXFreeBlock(nullptr), 0);
}

}  // namespace
