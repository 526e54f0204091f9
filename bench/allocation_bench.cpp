// Allocation pairs through Tarvex against the allocators a game programmer
// would pick instead: the C runtime's malloc/free and mimalloc. Names read
// pair/<release order>/<row>; bench/compare divides each row by the
// baselines of the same order.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "bench_workload.h"
#include "mimalloc_baseline.h"
#include "script_workload.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace {

using bench::Order;
using bench::run_pairs;

constexpr uint32_t small_locked = 0x5b0001;    // SmallBlkList, flags 1
constexpr uint32_t small_unlocked = 0x5b0002;  // SmallBlkList, flags 0
constexpr uint32_t small_cached = 0x5b0003;    // SmallBlkList, flags 1 + thread_cache

void make_contexts() {
    static const bool made = [] {
        Tarvex::context_init(
            Tarvex::ContextBase("Bench small, locked", small_locked, Tarvex::SmallBlkList));
        Tarvex::ContextBase unlocked("Bench small, unlocked", small_unlocked, Tarvex::SmallBlkList);
        unlocked.flags = 0;
        Tarvex::context_init(unlocked);
        Tarvex::ContextBase cached("Bench small, cached", small_cached, Tarvex::SmallBlkList);
        cached.flags = Tarvex::multi_threaded | Tarvex::thread_cache;
        Tarvex::context_init(cached);
        return true;
    }();
    (void)made;
}

void malloc_pair(benchmark::State& state, Order order) {
    run_pairs(
        state, order, [](uint32_t n) { return std::malloc(n); },
        [](void* p, uint32_t) { std::free(p); });
}

void mimalloc_pair(benchmark::State& state, Order order) {
    const bench::Mimalloc mi = bench::mimalloc();
    run_pairs(
        state, order, [mi](uint32_t n) { return mi.malloc(n); },
        [mi](void* p, uint32_t) { mi.free(p); });
}

template <uint32_t Id>
void std_pair(benchmark::State& state, Order order) {
    make_contexts();
    run_pairs(
        state, order, [](uint32_t n) { return Tarvex::std_alloc(n, Id); },
        [](void* p, uint32_t) { Tarvex::std_free(p, Id); });
}

template <uint32_t Id>
void handle_pair(benchmark::State& state, Order order) {
    make_contexts();
    static const tarvex_handle handle = tarvex_context_find(Id);
    run_pairs(
        state, order, [](uint32_t n) { return tarvex_handle_alloc(handle, n); },
        [](void* p, uint32_t) { tarvex_handle_free(handle, p); });
}

template <uint32_t Id>
void fast_pair(benchmark::State& state, Order order) {
    make_contexts();
    run_pairs(
        state, order, [](uint32_t n) { return Tarvex::fast_alloc(n, Id); },
        [](void* p, uint32_t n) { Tarvex::fast_free(p, n, Id); });
}

// One pool of 128-byte fragments, without a context around it.
void fragment_pool_pair(benchmark::State& state, Order order) {
    FragmentPool pool(0, 128, 32, 4, tarvex_ids::library_context);
    run_pairs(
        state, order, [&pool](uint32_t n) { return pool.pool_alloc(n); },
        [&pool](void* p, uint32_t) { pool.pool_free(p); });
}

// An embedded script interpreter's allocation function over one
// multi-threaded small-block context (by id, and through its handle),
// against the runtime heap's and mimalloc's realloc and free.
template <typename Alloc>
void script_rows(benchmark::State& state, Alloc alloc) {
    make_contexts();
    for (auto _ : state) bench::run_script(alloc);
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(bench::script_calls_list().size()));
}

void register_script_rows() {
    benchmark::RegisterBenchmark("script_interpreter/malloc", [](benchmark::State& state) {
        script_rows(state, [](void* p, uint32_t old_size, uint32_t n) {
            return bench::heap_script_alloc([](void* b, uint32_t s) { return std::realloc(b, s); },
                                            [](void* b) { std::free(b); }, p, old_size, n);
        });
    });
    benchmark::RegisterBenchmark("script_interpreter/mimalloc", [](benchmark::State& state) {
        const bench::Mimalloc mi = bench::mimalloc();
        script_rows(state, [mi](void* p, uint32_t old_size, uint32_t n) {
            return bench::heap_script_alloc([mi](void* b, uint32_t s) { return mi.realloc(b, s); },
                                            [mi](void* b) { mi.free(b); }, p, old_size, n);
        });
    });
    benchmark::RegisterBenchmark("script_interpreter/tarvex", [](benchmark::State& state) {
        script_rows(state, [](void* p, uint32_t old_size, uint32_t n) {
            return bench::tarvex_script_alloc(small_locked, p, old_size, n);
        });
    });
    benchmark::RegisterBenchmark("script_interpreter/tarvex_handle", [](benchmark::State& state) {
        make_contexts();
        const tarvex_handle handle = tarvex_context_find(small_locked);
        script_rows(state, [handle](void* p, uint32_t old_size, uint32_t n) {
            return bench::tarvex_handle_script_alloc(handle, p, old_size, n);
        });
    });
}

void register_pairs(const char* order_name, Order order) {
    const std::string prefix = std::string("pair/") + order_name + "/";
    const auto add = [&](const char* row, void (*run)(benchmark::State&, Order)) {
        benchmark::RegisterBenchmark((prefix + row).c_str(), run, order);
    };
    add("malloc", malloc_pair);
    add("mimalloc", mimalloc_pair);
    add("global_std", std_pair<tarvex_ids::global_context>);
    add("global_fast", fast_pair<tarvex_ids::global_context>);
    add("small_flags1_std", std_pair<small_locked>);
    add("small_flags0_std", std_pair<small_unlocked>);
    add("small_flags0_handle", handle_pair<small_unlocked>);
    add("global_handle", handle_pair<tarvex_ids::global_context>);
    add("small_flags1_fast", fast_pair<small_locked>);
    add("small_flags0_fast", fast_pair<small_unlocked>);
    add("small_flags1_cached_std", std_pair<small_cached>);
    add("small_flags1_cached_fast", fast_pair<small_cached>);
    add("small_flags1_cached_handle", handle_pair<small_cached>);
    add("fragment_pool", fragment_pool_pair);
}

// Two threads on one locked context against one thread alone: the ratio of
// their total throughputs shows what the context lock costs under contention.
void threads_small_flags1_std(benchmark::State& state) {
    make_contexts();
    run_pairs(
        state, Order::reverse, [](uint32_t n) { return Tarvex::std_alloc(n, small_locked); },
        [](void* p, uint32_t) { Tarvex::std_free(p, small_locked); });
}

// The same with per-thread caches in front of the pools.
void threads_small_cached_std(benchmark::State& state) {
    make_contexts();
    run_pairs(
        state, Order::reverse, [](uint32_t n) { return Tarvex::std_alloc(n, small_cached); },
        [](void* p, uint32_t) { Tarvex::std_free(p, small_cached); });
}

// One thread allocates, the other releases, through one cached context: the
// blocks travel from the producer's caches to the consumer's, and back to
// the pools in batches. A ring of single-producer, single-consumer slots
// hands them over; each side keeps the other's counter as last read and reads
// it again only when that says the ring is full or empty, so the handing over
// costs a few cache-line transfers per batch rather than one per block. With
// one thread the same thread does both through the same ring: the anchor of
// the row, with the hand-over's own cost in it too. One item is one block
// made and released.
class BlockRing {
public:
    void push(void* block) {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        for (int spins = 0; head - tail_seen_ == capacity; ++spins) {
            tail_seen_ = tail_.load(std::memory_order_acquire);
            if (head - tail_seen_ == capacity) wait(spins);
        }
        slots_[head % capacity] = block;
        head_.store(head + 1, std::memory_order_release);
    }
    void* pop() {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        for (int spins = 0; head_seen_ == tail; ++spins) {
            head_seen_ = head_.load(std::memory_order_acquire);
            if (head_seen_ == tail) wait(spins);
        }
        void* block = slots_[tail % capacity];
        tail_.store(tail + 1, std::memory_order_release);
        return block;
    }

private:
    // Spins a little, then lets the other side run: on a busy machine it may
    // share this core.
    static void wait(int spins) {
        if (spins < 64)
            __builtin_ia32_pause();
        else
            std::this_thread::yield();
    }
    static constexpr uint64_t capacity = 1024;
    alignas(64) std::atomic<uint64_t> head_{0};
    uint64_t tail_seen_ = 0;  // the producer's
    alignas(64) std::atomic<uint64_t> tail_{0};
    uint64_t head_seen_ = 0;  // the consumer's
    alignas(64) void* slots_[capacity];
};

// The ring's blocks come from alloc and go back through release; each row
// has its own ring, so that a row never sees another's blocks.
template <typename Alloc, typename Release>
void run_producer_consumer(benchmark::State& state, BlockRing& ring, Alloc alloc, Release release) {
    const auto& size = bench::sizes();
    const auto produce = [&] {
        for (int i = 0; i < bench::batch; ++i) ring.push(alloc(size[i]));
    };
    const auto consume = [&] {
        for (int i = 0; i < bench::batch; ++i) release(ring.pop());
    };
    if (state.threads() == 1) {
        for (auto _ : state) {
            produce();
            consume();
        }
    } else if (state.thread_index() == 0) {
        for (auto _ : state) produce();
    } else {
        for (auto _ : state) consume();
    }
    if (state.thread_index() == 0) state.SetItemsProcessed(state.iterations() * bench::batch);
}

void producer_consumer_cached(benchmark::State& state) {
    make_contexts();
    static BlockRing ring;
    run_producer_consumer(
        state, ring, [](uint32_t n) { return Tarvex::std_alloc(n, small_cached); },
        [](void* p) { Tarvex::std_free(p, small_cached); });
}

// The witness of the row above: the same hand-over through mimalloc, whose
// blocks released by another thread go back to their page's owner. Its ratio
// of two threads to one shows what moving each block's memory between the
// cores costs on this machine, whatever the allocator.
void producer_consumer_mimalloc(benchmark::State& state) {
    const bench::Mimalloc mi = bench::mimalloc();
    static BlockRing ring;
    run_producer_consumer(
        state, ring, [mi](uint32_t n) { return mi.malloc(n); }, [mi](void* p) { mi.free(p); });
}

// The anchor of the row above: the context's seven fragment pools, picked by
// the same byte count (the caller's size plus its 4-byte header, the runtime
// heap above 128 bytes), under glibc's adaptive mutex, which spins a little
// before it sleeps.
class AdaptiveMutexPools {
public:
    AdaptiveMutexPools() {
        uint32_t next = 0;
        for (int i = 0; i < pool_count; ++i) {
            pools_[i] = std::make_unique<FragmentPool>(0, classes[i].fragment, classes[i].grow, 4,
                                                       tarvex_ids::library_context);
            for (; next <= classes[i].fragment; ++next) size_to_pool_[next] = pools_[i].get();
        }
    }
    void* alloc(uint32_t size) {
        const uint32_t total = size + header;
        if (total > largest_pooled) return std::malloc(total);
        pthread_mutex_lock(&mutex_);
        void* block = size_to_pool_[total]->pool_alloc(total);
        pthread_mutex_unlock(&mutex_);
        return block;
    }
    void release(void* block, uint32_t size) {
        const uint32_t total = size + header;
        if (total > largest_pooled) {
            std::free(block);
            return;
        }
        pthread_mutex_lock(&mutex_);
        size_to_pool_[total]->pool_free(block);
        pthread_mutex_unlock(&mutex_);
    }

private:
    struct SizeClass {
        uint32_t fragment;
        uint32_t grow;
    };
    static constexpr int pool_count = 7;
    static constexpr SizeClass classes[pool_count] = {{8, 32}, {16, 32}, {32, 32}, {48, 16},
                                                      {64, 8}, {96, 8},  {128, 8}};
    static constexpr uint32_t header = 4;
    static constexpr uint32_t largest_pooled = 128;

    pthread_mutex_t mutex_ = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    std::unique_ptr<FragmentPool> pools_[pool_count];
    FragmentPool* size_to_pool_[largest_pooled + 1];
};

void anchor_adaptive_mutex_pool(benchmark::State& state) {
    static AdaptiveMutexPools pools;
    run_pairs(
        state, Order::reverse, [](uint32_t n) { return pools.alloc(n); },
        [](void* p, uint32_t n) { pools.release(p, n); });
}

// Each thread on a small-block context of its own, without a lock: the
// threads share nothing but the way to their contexts, so they should scale
// as the share-nothing witness below does.
constexpr uint32_t own_context_base = 0x5b0100;

void threads_own_contexts(benchmark::State& state) {
    static const bool made = [] {
        for (uint32_t t = 0; t < 8; ++t) {
            Tarvex::ContextBase own("Bench own context", own_context_base + t,
                                    Tarvex::SmallBlkList);
            own.flags = 0;
            Tarvex::context_init(own);
        }
        return true;
    }();
    (void)made;
    const uint32_t id = own_context_base + static_cast<uint32_t>(state.thread_index());
    run_pairs(
        state, Order::reverse, [id](uint32_t n) { return Tarvex::std_alloc(n, id); },
        [id](void* p, uint32_t) { Tarvex::std_free(p, id); });
}

void threads_mimalloc(benchmark::State& state) {
    const bench::Mimalloc mi = bench::mimalloc();
    run_pairs(
        state, Order::reverse, [mi](uint32_t n) { return mi.malloc(n); },
        [mi](void* p, uint32_t) { mi.free(p); });
}

}  // namespace

int main(int argc, char** argv) {
    register_pairs("reverse", Order::reverse);
    register_pairs("shuffled", Order::shuffled);
    register_script_rows();
    benchmark::RegisterBenchmark("threads/small_flags1_std", threads_small_flags1_std)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("threads/small_cached_std", threads_small_cached_std)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("producer_consumer/small_cached_std", producer_consumer_cached)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("producer_consumer/mimalloc", producer_consumer_mimalloc)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("anchor/adaptive_mutex_pool", anchor_adaptive_mutex_pool)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("threads/own_contexts", threads_own_contexts)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("threads/mimalloc", threads_mimalloc)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
