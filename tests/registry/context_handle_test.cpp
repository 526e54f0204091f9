// Context handles through the shared library: a handle is its context for
// as long as the context lives, and after that never reaches freed memory.
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace {

const char* const context_not_set = "Tarvex: ERROR: Context not set\n";

uint32_t make_context(uint32_t id, uint16_t type, uint16_t flags) {
    Tarvex::ContextBase base("Handled", id, type);
    base.flags = flags;
    Tarvex::context_init(base);
    return id;
}

}  // namespace

// A handle and its id are one context: blocks cross between the two call
// families in every context class; misuse gives nulls and error 7 only where
// an id would.
TEST(ContextHandle, AHandleIsItsContext) {
    const uint32_t ids[] = {make_context(0x71001, Tarvex::SmallBlkList, 0),
                            make_context(0x71002, Tarvex::SmallBlkList, Tarvex::multi_threaded),
                            make_context(0x71003, Tarvex::GrowOnly, 0),
                            make_context(0x71004, Tarvex::StdMalloc, Tarvex::multi_threaded)};
    for (uint32_t id : ids) {
        tarvex_handle handle = tarvex_context_find(id);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(tarvex_context_find(id), handle);
        void* by_handle = tarvex_handle_alloc(handle, 100);
        ASSERT_NE(by_handle, nullptr);
        EXPECT_EQ(Tarvex::std_size(by_handle, id),
                  id == ids[3] ? Tarvex::std_size(by_handle, id) : 100u);
        Tarvex::std_free(by_handle, id);
        void* by_id = Tarvex::std_alloc(30, id);
        tarvex_handle_free(handle, by_id);
        void* fast = tarvex_handle_fast_alloc(handle, 24);
        Tarvex::fast_free(fast, 24, id);
        void* aligned = tarvex_handle_aligned_alloc(handle, 40, 64);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
        Tarvex::aligned_free(aligned, id);
        tarvex_handle_fast_free(handle, Tarvex::fast_alloc(8, id), 8);
        tarvex_handle_aligned_free(handle, Tarvex::aligned_alloc(8, 32, id));
    }

    LogCapture log;
    EXPECT_EQ(tarvex_handle_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(tarvex_handle_fast_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(tarvex_handle_aligned_alloc(nullptr, 8, 16), nullptr);
    tarvex_handle_free(nullptr, ids);
    tarvex_handle_fast_free(nullptr, ids, 8);
    tarvex_handle_aligned_free(nullptr, ids);
    tarvex_handle_free(tarvex_context_find(ids[0]), nullptr);
    EXPECT_EQ(log.count(context_not_set), 0u);
    EXPECT_EQ(tarvex_context_find(0x71999), nullptr);
    EXPECT_EQ(log.count(context_not_set), 1u);
}

// The library was started when it was loaded: the shutdown here is the
// final one. After it a handle makes its id's call: the library's own
// contexts go on serving, a game's context is gone. After a restart the old
// handle is refused, even for a context made again with the same id at the
// same address; a handle found again works.
TEST(ContextHandle, HandlesAcrossShutdownAndRestart) {
    const uint32_t game = make_context(0x72001, Tarvex::SmallBlkList, Tarvex::multi_threaded);
    tarvex_handle game_handle = tarvex_context_find(game);
    tarvex_handle global_handle = tarvex_context_find(tarvex_ids::global_context);
    void* kept = tarvex_handle_alloc(global_handle, 64);
    Tarvex::shutdown();

    {
        LogCapture log;
        EXPECT_EQ(tarvex_handle_alloc(game_handle, 16), Tarvex::std_alloc(16, game));
        tarvex_handle_free(global_handle, kept);
        void* after = tarvex_handle_alloc(global_handle, 16);
        EXPECT_NE(after, nullptr);
        Tarvex::std_free(after, tarvex_ids::global_context);
        EXPECT_EQ(log.count(context_not_set), 0u);
    }

    Tarvex::init();
    make_context(game, Tarvex::SmallBlkList, Tarvex::multi_threaded);
    LogCapture log;
    EXPECT_EQ(tarvex_handle_alloc(game_handle, 16), nullptr);
    EXPECT_EQ(tarvex_handle_fast_alloc(global_handle, 16), nullptr);
    tarvex_handle_free(game_handle, &kept);
    EXPECT_EQ(log.count(context_not_set), 3u);

    tarvex_handle again = tarvex_context_find(game);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, game_handle);
    void* block = tarvex_handle_alloc(again, 16);
    EXPECT_EQ(Tarvex::std_size(block, game), 16u);
    tarvex_handle_free(again, block);
    EXPECT_EQ(log.count(context_not_set), 3u);
}
