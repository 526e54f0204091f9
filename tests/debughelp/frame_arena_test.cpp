// The arena behind resolved frames: packed texts, aligned records, texts
// longer than a chunk, and release.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debughelp/debug_help.h"
#include "debughelp/frame_cache.h"

using namespace tarvex;

TEST(FrameArena, PacksTextsBackToBackAcrossChunks) {
    FrameArena arena;
    std::vector<const char*> copies;
    for (int i = 0; i < 5000; ++i) {
        copies.push_back(arena.copy_text(("function_" + std::to_string(i)).c_str()));
    }
    // About 70 KB of texts: several chunks, each used up before the next.
    EXPECT_GE(arena.chunk_count(), 4u);
    EXPECT_LE(arena.chunk_count(), 6u);
    for (int i = 0; i < 5000; ++i) EXPECT_EQ(copies[i], "function_" + std::to_string(i));
    EXPECT_EQ(copies[1], copies[0] + std::string(copies[0]).size() + 1);
    arena.release();
    EXPECT_EQ(arena.chunk_count(), 0u);
}

TEST(FrameArena, TextLongerThanAChunkGetsItsOwnStorage) {
    FrameArena arena;
    const char* before = arena.copy_text("before");
    const std::string long_text(3 * FrameArena::chunk_size, 'n');
    const char* copy = arena.copy_text(long_text.c_str());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy, long_text);
    // The chunk in use keeps serving after the long text.
    const char* after = arena.copy_text("after");
    EXPECT_EQ(after, before + 7);
    EXPECT_EQ(arena.chunk_count(), 2u);
    arena.release();
}

TEST(FrameArena, RecordsAreAlignedBetweenPackedTexts) {
    FrameArena arena;
    arena.copy_text("odd");
    void* record = arena.take(sizeof(ResolvedFrame), alignof(ResolvedFrame));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(record) % alignof(ResolvedFrame), 0u);
    // A record that does not fit the rest of a chunk starts a new one.
    while (arena.chunk_count() == 1) arena.copy_text("filler text");
    void* next = arena.take(sizeof(ResolvedFrame), alignof(ResolvedFrame));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(next) % alignof(ResolvedFrame), 0u);
    arena.release();
    EXPECT_STREQ(arena.copy_text("reused"), "reused");
    arena.release();
}
