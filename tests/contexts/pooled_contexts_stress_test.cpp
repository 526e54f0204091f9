// Several threads allocate and free through one multi-threaded small-block
// list context and one grow-only context, checking the bytes they wrote,
// while another thread keeps running the library's collection and listing
// the contexts. A pool grows under its context's lock while Tarvex::run_gc
// holds the library lock and waits for that context lock: the run must end,
// with every block intact.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "contexts/context_test_support.h"

namespace {

constexpr uint32_t small_id = 0x6201;
constexpr uint32_t arena_id = 0x6202;
constexpr int worker_count = 3;
// Bounded in operations, not in time: the sanitizers slow each operation
// down many times, and a contended lock under Wine waits through its server.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr int operations_per_worker = 50000;
#else
constexpr int operations_per_worker = 400000;
#endif
constexpr size_t most_live_blocks = 64;

struct LiveBlock {
    unsigned char* bytes;
    uint32_t size;
    unsigned char fill;
    int kind;
};

enum Kind { small_std, small_fast, arena_std, arena_fast, kind_count };

unsigned char* allocate(int kind, uint32_t size) {
    switch (kind) {
        case small_std:
            return static_cast<unsigned char*>(Tarvex::std_alloc(size, small_id));
        case small_fast:
            return static_cast<unsigned char*>(Tarvex::fast_alloc(size, small_id));
        case arena_std:
            return static_cast<unsigned char*>(Tarvex::std_alloc(size, arena_id));
        default:
            return static_cast<unsigned char*>(Tarvex::fast_alloc(size, arena_id));
    }
}

void release(const LiveBlock& block) {
    switch (block.kind) {
        case small_std:
            Tarvex::std_free(block.bytes, small_id);
            break;
        case small_fast:
            Tarvex::fast_free(block.bytes, block.size, small_id);
            break;
        case arena_std:
            Tarvex::std_free(block.bytes, arena_id);
            break;
        default:
            Tarvex::fast_free(block.bytes, block.size, arena_id);
            break;
    }
}

struct Tally {
    std::atomic<int> failed_allocations{0};
    std::atomic<int> damaged_blocks{0};
    std::atomic<int> wrong_sizes{0};
};

bool intact(const LiveBlock& block) {
    for (uint32_t i = 0; i < block.size; ++i) {
        if (block.bytes[i] != block.fill) return false;
    }
    return true;
}

void check_and_release(const LiveBlock& block, Tally& tally) {
    if (!intact(block)) ++tally.damaged_blocks;
    if (block.kind == small_std && Tarvex::std_size(block.bytes, small_id) != block.size) {
        ++tally.wrong_sizes;
    }
    release(block);
}

void work(unsigned seed, Tally& tally) {
    std::mt19937 random(seed);
    std::vector<LiveBlock> live;
    for (int op = 0; op < operations_per_worker; ++op) {
        const bool allocate_now =
            live.empty() || (live.size() < most_live_blocks && (random() & 1) != 0);
        if (allocate_now) {
            const int kind = static_cast<int>(random() % kind_count);
            const uint32_t size = random() % 301;
            unsigned char* bytes = allocate(kind, size);
            if (bytes == nullptr) {
                // The grow-only pool may hand out nothing for size 0 on a
                // fresh pool; everything else must succeed.
                if (size != 0) ++tally.failed_allocations;
                continue;
            }
            const auto fill = static_cast<unsigned char>(random());
            std::memset(bytes, fill, size);
            live.push_back({bytes, size, fill, kind});
        } else {
            const size_t index = random() % live.size();
            check_and_release(live[index], tally);
            live[index] = live.back();
            live.pop_back();
        }
    }
    for (const LiveBlock& block : live) check_and_release(block, tally);
}

TEST(PooledContextsStress, AllocateFreeAndCollectConcurrently) {
    start_library();
    Tarvex::context_init(
        Tarvex::ContextBase("Stress small blocks", small_id, Tarvex::SmallBlkList));
    Tarvex::context_init(Tarvex::ContextBase("Stress arena", arena_id, Tarvex::GrowOnly));

    Tally tally;
    std::atomic<bool> done{false};
    std::atomic<int> collections{0};
    std::thread collector([&] {
        Tarvex::ContextBase infos[64];
        do {
            Tarvex::run_gc();
            Tarvex::get_context_info(infos, 64);
            ++collections;
        } while (!done.load());
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < worker_count; ++w) {
        workers.emplace_back(work, 1000u + static_cast<unsigned>(w), std::ref(tally));
    }
    for (auto& worker : workers) worker.join();
    done = true;
    collector.join();

    EXPECT_EQ(tally.failed_allocations.load(), 0);
    EXPECT_EQ(tally.damaged_blocks.load(), 0);
    EXPECT_EQ(tally.wrong_sizes.load(), 0);
    EXPECT_GT(collections.load(), 0);
}

}  // namespace

namespace {

// A context without a lock belongs to the thread that uses it: the library's
// collection, running on another thread, must leave its pools alone (without
// tracking, nothing else keeps the two apart).
TEST(PooledContextsStress, CollectionLeavesSingleThreadedContextsAlone) {
    start_library();
    constexpr uint32_t single_id = 0x6203;
    Tarvex::ContextBase single("Stress single thread", single_id, Tarvex::SmallBlkList);
    single.flags = 0;
    Tarvex::context_init(single);

    std::atomic<bool> done{false};
    std::thread collector([&] {
        while (!done.load()) Tarvex::run_gc();
    });
    int damaged = 0;
    std::mt19937 random(7);
    std::vector<LiveBlock> live;
    for (int op = 0; op < operations_per_worker; ++op) {
        if (live.size() < most_live_blocks && (live.empty() || (random() & 1) != 0)) {
            const uint32_t size = 1 + random() % 120;
            auto* bytes = static_cast<unsigned char*>(Tarvex::std_alloc(size, single_id));
            ASSERT_NE(bytes, nullptr);
            const auto fill = static_cast<unsigned char>(random());
            std::memset(bytes, fill, size);
            live.push_back({bytes, size, fill, small_std});
        } else {
            const size_t index = random() % live.size();
            damaged += !intact(live[index]);
            Tarvex::std_free(live[index].bytes, single_id);
            live[index] = live.back();
            live.pop_back();
        }
    }
    done = true;
    collector.join();
    for (const LiveBlock& block : live) Tarvex::std_free(block.bytes, single_id);
    EXPECT_EQ(damaged, 0);
}

}  // namespace
