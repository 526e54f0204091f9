// Per-thread caches in front of a shared small-block context: blocks that
// cross threads, threads that end holding fragments, and a thread that
// outlives the library it cached for. The pools' blocks are counted through
// the dispatch table, the seam every pool obtains and returns them through.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tarvex/tarvex.h"

namespace {

constexpr uint16_t cached_flags = Tarvex::multi_threaded | Tarvex::thread_cache;

uint32_t make_cached(uint32_t id) {
    Tarvex::ContextBase base("Cached", id, Tarvex::SmallBlkList);
    base.flags = cached_flags;
    Tarvex::context_init(base);
    return id;
}

// Blocks of the library's own context that pools obtained while counted,
// through the dispatch table, and have not given back.
std::mutex counted_mutex;
std::map<const char*, uint32_t> counted;  // block, size
Tarvex::FuncTable plain_table;

void* counting_alloc(uint32_t size, uint32_t id) {
    void* block = plain_table.std_alloc(size, id);
    if (block != nullptr && id == tarvex_ids::library_context) {
        std::lock_guard<std::mutex> hold(counted_mutex);
        counted[static_cast<const char*>(block)] = size;
    }
    return block;
}

void counting_free(const void* block, uint32_t id) {
    if (id == tarvex_ids::library_context) {
        std::lock_guard<std::mutex> hold(counted_mutex);
        counted.erase(static_cast<const char*>(block));
    }
    plain_table.std_free(block, id);
}

size_t pool_blocks() {
    std::lock_guard<std::mutex> hold(counted_mutex);
    return counted.size();
}

// Whether the address lies in a pool block obtained while counted and not
// given back since.
bool in_live_pool_block(const void* address) {
    std::lock_guard<std::mutex> hold(counted_mutex);
    const char* at = static_cast<const char*>(address);
    auto after = counted.upper_bound(at);
    if (after == counted.begin()) return false;
    const auto block = std::prev(after);
    return at < block->first + block->second;
}

class PoolBlocks {
public:
    PoolBlocks() {
        plain_table = Tarvex::my_func_table;
        Tarvex::my_func_table.std_alloc = counting_alloc;
        Tarvex::my_func_table.std_free = counting_free;
    }
    ~PoolBlocks() { Tarvex::my_func_table = plain_table; }
};

// `count` blocks of every small size, each filled with its own pattern.
std::vector<std::pair<unsigned char*, uint32_t>> allocate(uint32_t id, int count) {
    std::vector<std::pair<unsigned char*, uint32_t>> blocks;
    for (int i = 0; i < count; ++i) {
        const uint32_t size = 1 + static_cast<uint32_t>(i) % 120;
        auto* block = static_cast<unsigned char*>(Tarvex::std_alloc(size, id));
        std::memset(block, static_cast<int>(size), size);
        blocks.emplace_back(block, size);
    }
    return blocks;
}

// Each block still holds its pattern (no fragment was handed out twice), and
// goes back.
int release(uint32_t id, const std::vector<std::pair<unsigned char*, uint32_t>>& blocks) {
    int damaged = 0;
    for (const auto& [block, size] : blocks) {
        damaged += block[0] != static_cast<unsigned char>(size) ||
                   block[size - 1] != static_cast<unsigned char>(size) ||
                   Tarvex::std_size(block, id) != size;
        Tarvex::std_free(block, id);
    }
    return damaged;
}

}  // namespace

// One thread takes, another gives back: the blocks land in the releasing
// thread's caches and serve its own allocations, intact.
TEST(ThreadCache, BlocksReleasedByAnotherThread) {
    const uint32_t id = make_cached(0x7f01);
    int damaged = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<unsigned char*, uint32_t>> made;
        std::thread producer([&] { made = allocate(id, 2000); });
        producer.join();
        std::thread consumer([&] {
            damaged += release(id, made);
            damaged += release(id, allocate(id, 500));
        });
        consumer.join();
    }
    EXPECT_EQ(damaged, 0);
}

// Threads that end with fragments in their caches give them back: once they
// are gone and a collection has run, the context holds no pool block.
TEST(ThreadCache, ThreadsThatEndGiveTheirFragmentsBack) {
    PoolBlocks counting;
    const uint32_t ids[] = {make_cached(0x7f02), make_cached(0x7f03)};
    std::vector<std::thread> threads;
    std::atomic<int> damaged{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const uint32_t id = ids[(round + t) % 2];
                damaged += release(id, allocate(id, 300));
            }
            // The thread ends with its caches full of fragments.
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_GT(pool_blocks(), 0u);
    Tarvex::run_gc();
    EXPECT_EQ(pool_blocks(), 0u);
}

// Two threads on two cached contexts, each releasing what the other made:
// run under ThreadSanitizer, the caches' traffic is race-free.
TEST(ThreadCache, CrossReleasesBetweenThreadsAndContexts) {
    const uint32_t ids[] = {make_cached(0x7f04), make_cached(0x7f05)};
    constexpr int threads = 4;
    std::vector<std::vector<std::pair<unsigned char*, uint32_t>>> handed(threads);
    std::atomic<int> ready{0};
    std::atomic<int> damaged{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            handed[t] = allocate(ids[t % 2], 3000);
            ++ready;
            while (ready.load() != threads) std::this_thread::yield();
            damaged += release(ids[(t + 1) % 2], handed[(t + 1) % threads]);
        });
    }
    for (auto& thread : running) thread.join();
    EXPECT_EQ(damaged.load(), 0);
}

// A thread that cached fragments, then runs on past a final shutdown and a
// new start into a new context of the same id and flags (which may sit where
// the old one did): every fragment it gets lies in a pool block of the new
// context, none in the old pools' blocks, which went at the shutdown.
TEST(ThreadCache, AThreadOutlivesTheFinalShutdown) {
    // A fresh start, so that the context of each start takes the first
    // cache index, the slot where the thread's stale caches would be found.
    Tarvex::shutdown();
    Tarvex::init();
    PoolBlocks counting;
    const uint32_t id = make_cached(0x7f06);
    std::atomic<int> step{0};
    int damaged = 0, stale = 0;
    std::thread survivor([&] {
        damaged += release(id, allocate(id, 500));
        step = 1;
        while (step.load() != 2) std::this_thread::yield();
        for (int i = 0; i < 500; ++i) {
            void* block = Tarvex::std_alloc(24, id);
            stale += in_live_pool_block(block) ? 0 : 1;
            Tarvex::std_free(block, id);
        }
    });
    while (step.load() != 1) std::this_thread::yield();
    Tarvex::shutdown();
    Tarvex::init();
    make_cached(id);
    step = 2;
    survivor.join();
    EXPECT_EQ(damaged, 0);
    EXPECT_EQ(stale, 0);
}
