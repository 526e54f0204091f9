// Resets and marks of grow-only contexts through the exported interface,
// tracking off: memory goes back and the same addresses come out again;
// every refusal changes nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex.hpp"

namespace {

uint32_t make_arena(uint32_t id, uint16_t flags = Tarvex::multi_threaded) {
    Tarvex::ContextBase base("Arena", id, Tarvex::GrowOnly);
    base.flags = flags;
    base.size_hint = 4 * 16384;  // blocks of 16 KiB
    Tarvex::context_init(base);
    return id;
}

std::vector<void*> fill(uint32_t id, int count, uint32_t size) {
    std::vector<void*> blocks;
    for (int i = 0; i < count; ++i) {
        blocks.push_back(Tarvex::std_alloc(size, id));
        std::memset(blocks.back(), i, size);
    }
    return blocks;
}

}  // namespace

// A level's worth over several blocks, reset, and the next level: its first
// block's worth comes out at the same addresses, and all of it is usable.
TEST(ArenaReset, GivesEverythingBackAndServesTheSameAddressesAgain) {
    const uint32_t id = make_arena(0x7e01);
    const std::vector<void*> level1 = fill(id, 40, 1000);
    Tarvex::context_reset(id);
    const std::vector<void*> level2 = fill(id, 40, 1000);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(level2[i], level1[i]) << i;
    Tarvex::context_reset(id);
    Tarvex::context_reset(id);
    EXPECT_EQ(fill(id, 1, 1000)[0], level1[0]);
}

// mark, work, release: the work's memory comes back at the same address;
// the release ends the mark and the marks taken after it.
TEST(ArenaMarks, ReleaseToAMarkGivesBackWhatCameAfterIt) {
    const uint32_t id = make_arena(0x7e02);
    fill(id, 3, 100);
    const uint32_t outer = Tarvex::context_mark(id);
    ASSERT_NE(outer, 0u);
    const std::vector<void*> first = fill(id, 30, 1000);  // into a second block
    const uint32_t inner = Tarvex::context_mark(id);
    fill(id, 5, 100);
    Tarvex::context_release_to(id, outer);
    // The mark's own block serves the same addresses again; the block given
    // back after it may come back from the heap anywhere.
    const std::vector<void*> again = fill(id, 30, 1000);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(again[i], first[i]) << i;

    LogCapture log;
    Tarvex::context_release_to(id, outer);  // ended by its own release
    Tarvex::context_release_to(id, inner);  // ended with it
    EXPECT_EQ(log.count("Tarvex: ERROR: Invalid mark for context Arena\n"), 2u);
    EXPECT_NE(fill(id, 1, 1000)[0], first[0]);  // nothing was given back
}

// The frame pattern, a mark a frame with the C++ layer's nested inside, for far more
// frames than marks fit: every frame serves the first frame's addresses
// again, so the arena obtains nothing after it, and nothing is refused.
TEST(ArenaMarks, AMarkAFrameNeverPilesUp) {
    const uint32_t id = make_arena(0x7e08);
    LogCapture log;
    std::vector<void*> first_frame;
    for (int frame = 0; frame < 10000; ++frame) {
        const uint32_t frame_mark = Tarvex::context_mark(id);
        std::vector<void*> blocks = fill(id, 6, 900);
        {
            const tarvex::arena_mark nested(id);
            fill(id, 4, 700);
        }
        const std::vector<void*> after_nested = fill(id, 4, 500);
        blocks.insert(blocks.end(), after_nested.begin(), after_nested.end());
        Tarvex::context_release_to(id, frame_mark);
        if (frame == 0) first_frame = blocks;
        if (blocks != first_frame) {
            ADD_FAILURE() << "frame " << frame << " served other addresses";
            break;
        }
    }
    EXPECT_TRUE(log.take().empty());
}

// Every refusal is reported and changes nothing: a mark of another arena,
// one from before a reset, 0, a context that is no arena, an unknown id, a
// mark too many.
TEST(ArenaMarks, RefusalsChangeNothing) {
    const uint32_t id = make_arena(0x7e03), other = make_arena(0x7e04);
    Tarvex::context_init(Tarvex::ContextBase("Heap", 0x7e05));
    const uint32_t foreign = Tarvex::context_mark(other);
    const uint32_t stale = Tarvex::context_mark(id);
    Tarvex::context_reset(id);
    void* kept = fill(id, 1, 64)[0];

    LogCapture log;
    Tarvex::context_release_to(id, foreign);
    Tarvex::context_release_to(id, stale);
    Tarvex::context_release_to(id, 0);
    EXPECT_EQ(log.count("Tarvex: ERROR: Invalid mark for context Arena\n"), 3u);
    EXPECT_GT(fill(id, 1, 64)[0], kept);

    Tarvex::context_reset(0x7e05);
    EXPECT_EQ(Tarvex::context_mark(0x7e05), 0u);
    Tarvex::context_release_to(0x7e05, foreign);
    EXPECT_EQ(log.count("Tarvex: ERROR: Context Heap cannot be reset\n"), 3u);
    Tarvex::context_reset(0x7e06);
    EXPECT_EQ(Tarvex::context_mark(0x7e06), 0u);
    EXPECT_EQ(log.count("Tarvex: ERROR: Context not set\n"), 2u);

    std::vector<uint32_t> marks;
    for (int i = 0; i < 40; ++i) marks.push_back(Tarvex::context_mark(other));
    EXPECT_EQ(log.count("Tarvex: ERROR: Context Arena holds too many marks\n"), 9u);
    // The arena held one mark already: 31 more fit.
    EXPECT_NE(marks[30], 0u);
    EXPECT_EQ(marks[31], 0u);
}

// One thread allocates from a shared arena while another resets it: the
// arena stays consistent (the blocks handed out before a reset are the
// host's to stop using, so the allocating thread never touches them).
TEST(ArenaReset, ResetWhileAnotherThreadAllocates) {
    const uint32_t id = make_arena(0x7e07);
    std::thread allocating([id] {
        for (int i = 0; i < 50000; ++i) EXPECT_NE(Tarvex::std_alloc(1 + i % 300, id), nullptr);
    });
    for (int i = 0; i < 2000; ++i) {
        if (i % 2 == 0)
            Tarvex::context_reset(id);
        else
            Tarvex::context_release_to(id, Tarvex::context_mark(id));
    }
    allocating.join();
    Tarvex::context_reset(id);
    EXPECT_NE(fill(id, 20, 1000).back(), nullptr);
}
