// The static string pool: copies packed back to back, one shared empty
// string outside every pool, and whole blocks for what does not fit.
#include <gtest/gtest.h>

#include <string>

#include "pools/pool_test_support.h"
#include "pools/recording_dispatch.h"

namespace {

class TestStringPool : public StaticStringPool {
public:
    using StaticStringPool::blk_count;
    using StaticStringPool::cursor;
    using StaticStringPool::remaining;
    using StaticStringPool::StaticStringPool;
};

// Null and "" give one shared empty string and obtain no block.
TEST(StaticStringPool, EmptyTextsShareOneStaticString) {
    RecordingDispatch strings(tarvex_ids::string_data);
    TestStringPool pool;
    const char* from_null = pool.str_add(nullptr);
    const char* from_empty = pool.str_add("");
    EXPECT_EQ(from_null, from_empty);
    EXPECT_STREQ(from_null, "");
    TestStringPool other;
    EXPECT_EQ(other.str_add(""), from_null);
    EXPECT_TRUE(strings.take().empty());
    EXPECT_EQ(pool.blk_count(), 0u);
}

// The default pool takes 4096-byte blocks from "String data"; copies follow
// each other right after the previous terminator.
TEST(StaticStringPool, PacksCopiesBackToBack) {
    RecordingDispatch strings(tarvex_ids::string_data);
    TestStringPool pool;
    const char* abc = pool.str_add("abc");
    const auto calls = strings.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].size, 4096 + node_size);
    EXPECT_EQ(abc, calls[0].block);
    EXPECT_EQ(pool.remaining, 4092u);

    const char* again = pool.str_add("abc");
    EXPECT_NE(again, abc);
    EXPECT_STREQ(again, "abc");
    EXPECT_EQ(again, abc + 4);
    const char* two = pool.str_add("xy");
    const char* next = pool.str_add("z");
    EXPECT_EQ(next, two + 3);

    // str_remove gives nothing back and leaves the copy readable.
    pool.str_remove(abc);
    EXPECT_STREQ(abc, "abc");
    EXPECT_EQ(pool.str_add("q"), next + 2);
}

// A text longer than the block size gets a block of exactly its length with
// terminator; a text that does not fit what remains starts a new block.
TEST(StaticStringPool, StartsBlocksForWhatDoesNotFit) {
    RecordingDispatch strings(pool_heap());
    TestStringPool pool(0, 4096, pool_heap_id);
    const std::string long_text(5000, 'L');
    EXPECT_EQ(pool.str_add(long_text.c_str()), long_text);
    EXPECT_EQ(pool.remaining, 0u);
    EXPECT_EQ(strings.alloc_sizes(), std::vector<uint32_t>{5001 + node_size});

    TestStringPool small(0, 8, pool_heap_id);
    const char* first = small.str_add("abcde");
    const char* second = small.str_add("fgh");  // 4 bytes, 2 remain
    EXPECT_NE(second, first + 6);
    EXPECT_EQ(small.remaining, 4u);
    EXPECT_EQ(strings.alloc_sizes(), (std::vector<uint32_t>{8 + node_size, 8 + node_size}));
    EXPECT_STREQ(first, "abcde");
}

// An initial size above 16 obtains exactly that block at construction.
TEST(StaticStringPool, InitialBlockAbove16Bytes) {
    RecordingDispatch strings(pool_heap());
    TestStringPool sixteen(16, 4096, pool_heap_id);
    EXPECT_TRUE(strings.take().empty());
    EXPECT_EQ(sixteen.cursor, nullptr);
    TestStringPool seventeen(17, 4096, pool_heap_id);
    const auto calls = strings.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].size, 17 + node_size);
    EXPECT_EQ(seventeen.remaining, 17u);
    EXPECT_EQ(seventeen.str_add("sixteen letters!"), calls[0].block);
    EXPECT_EQ(seventeen.remaining, 0u);
}

// Without a block str_add returns null and the pool stays as it was;
// clear forgets the current block.
TEST(StaticStringPool, NoBlockGivesNull) {
    RecordingDispatch strings(pool_heap());
    strings.fail_requests(true);
    TestStringPool initial(64, 4096, pool_heap_id);
    EXPECT_EQ(initial.cursor, nullptr);
    EXPECT_EQ(initial.remaining, 0u);

    TestStringPool pool(0, 16, pool_heap_id);
    EXPECT_EQ(pool.str_add("text"), nullptr);
    EXPECT_EQ(pool.blk_count(), 0u);
    strings.fail_requests(false);
    const char* text = pool.str_add("text");
    ASSERT_NE(text, nullptr);
    strings.fail_requests(true);
    EXPECT_EQ(pool.str_add("a text too long for the block"), nullptr);
    EXPECT_EQ(pool.cursor, text + 5);
    EXPECT_EQ(pool.remaining, 11u);
    strings.fail_requests(false);

    pool.clear();
    EXPECT_EQ(pool.cursor, nullptr);
    EXPECT_EQ(pool.remaining, 0u);
    EXPECT_EQ(pool.blk_count(), 0u);
}

}  // namespace
