// The cache in front of the registry, as a frame uses it: many contexts in
// turn, threads on them at once, a context made with an id in use, and a
// restart. Every call must reach the context the registry holds for its id.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"

namespace {

std::vector<uint32_t> make_contexts(uint32_t first_id, uint32_t count) {
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < count; ++i) {
        ids.push_back(first_id + i * 0x1000);
        Tarvex::context_init(Tarvex::ContextBase("cached", ids.back(), Tarvex::SmallBlkList));
    }
    return ids;
}

}  // namespace

// More contexts than the cache has room for, used in turn: a fragment freed
// to a context comes back from that context and from no other, so every id
// reached its own pools however the cache's sets filled and evicted.
TEST(ContextCache, InterleavedContextsEachServeTheirOwnBlocks) {
    const std::vector<uint32_t> ids = make_contexts(0x10001, 300);
    for (int round = 0; round < 3; ++round) {
        std::vector<void*> blocks;
        for (uint32_t id : ids) blocks.push_back(Tarvex::fast_alloc(24, id));
        EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), ids.size());
        for (size_t i = 0; i < ids.size(); ++i) Tarvex::fast_free(blocks[i], 24, ids[i]);
        for (size_t i = ids.size(); i-- > 0;) {
            void* again = Tarvex::fast_alloc(24, ids[i]);
            EXPECT_EQ(again, blocks[i]) << "context " << ids[i];
            Tarvex::fast_free(again, 24, ids[i]);
        }
    }
}

// Four threads, each going through eight shared contexts in its own order
// while the others fill the cache: every block's size header is read back by
// the context that wrote it.
TEST(ContextCache, ThreadsOnManyContextsAtOnce) {
    const std::vector<uint32_t> ids = make_contexts(0x20001, 8);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::pair<void*, uint32_t>> held;
            for (int i = 0; i < 20000; ++i) {
                const uint32_t id = ids[(i * (t + 1) + t) % ids.size()];
                const uint32_t size = 1 + (i + t) % 120;
                void* block = Tarvex::std_alloc(size, id);
                if (block == nullptr || Tarvex::std_size(block, id) != size) ++wrong[t];
                held.emplace_back(block, id);
                if (held.size() == 16) {
                    for (const auto& [b, owner] : held) Tarvex::std_free(b, owner);
                    held.clear();
                }
            }
            for (const auto& [b, owner] : held) Tarvex::std_free(b, owner);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// A record with id 0 makes a second context with that id: from then on the
// id means the new one (a grow-only arena, whose released blocks are never
// handed out again), even though "Global Context" sat in the cache for it.
TEST(ContextCache, ANewContextWithAnIdInUseTakesTheIdOver) {
    Tarvex::std_free(Tarvex::std_alloc(40, 0), 0);
    Tarvex::context_init(Tarvex::ContextBase("Arena zero", 0, Tarvex::GrowOnly));
    void* first = Tarvex::std_alloc(40, 0);
    Tarvex::std_free(first, 0);
    void* second = Tarvex::std_alloc(40, 0);
    EXPECT_NE(first, second);
}

// Nothing cached survives a final shutdown into the next start: an id whose
// context is gone names no context, and the library's own contexts, made
// anew at the same addresses, answer by their ids again.
TEST(ContextCache, NothingSurvivesARestart) {
    const uint32_t gone = make_contexts(0x30001, 1)[0];
    Tarvex::std_free(Tarvex::std_alloc(16, gone), gone);
    Tarvex::std_free(Tarvex::std_alloc(16, tarvex_ids::init_data_context),
                     tarvex_ids::init_data_context);
    Tarvex::shutdown();
    Tarvex::init();
    LogCapture log;
    EXPECT_EQ(Tarvex::std_alloc(16, gone), nullptr);
    EXPECT_EQ(log.count("Tarvex: ERROR: Context not set\n"), 1u);
    void* block = Tarvex::std_alloc(16, tarvex_ids::init_data_context);
    EXPECT_NE(block, nullptr);
    Tarvex::std_free(block, tarvex_ids::init_data_context);
    Tarvex::ContextBase infos[8];
    const uint32_t count = Tarvex::get_context_info(infos, 8);
    bool init_data_named = false;
    for (uint32_t i = 0; i < count; ++i)
        init_data_named |= infos[i].id == tarvex_ids::init_data_context;
    EXPECT_TRUE(init_data_named);
}
