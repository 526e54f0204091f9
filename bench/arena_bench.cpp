// Allocations without releases, the grow-only context against mimalloc's
// and the C runtime's malloc, and the fragment pool's collection pass. Only
// the allocations are timed: the baselines free each batch, and the arena is
// shut down and initialised again every 64 batches, outside the clock, so
// the rows run on warm memory of bounded size. That reset is not part of the
// exported interface, so this program links the library's objects.
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "bench_workload.h"
#include "mimalloc_baseline.h"
#include "registry/registry.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

using clock_type = std::chrono::steady_clock;
using bench::batch;

constexpr uint32_t arena_locked = 0x5b0011;    // GrowOnly, flags 1
constexpr uint32_t arena_unlocked = 0x5b0012;  // GrowOnly, flags 0
constexpr int batches_per_reset = 64;

Tarvex::ContextBase arena_base(uint32_t id) {
    Tarvex::ContextBase base("Bench arena", id, Tarvex::GrowOnly);
    base.flags = id == arena_locked ? Tarvex::multi_threaded : 0;
    base.size_hint = 4u << 20;  // 1 MiB blocks
    return base;
}

// The C runtime would hand the arena's freed blocks back to the system at
// each reset, and the next batches would time page faults instead of
// allocations; it keeps them instead.
const bool runtime_keeps_memory = [] {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    return true;
}();

void reset_arena(uint32_t id) {
    tarvex::MemContext* arena = tarvex::resolve_context(id);
    arena->shutdown();
    arena->init(arena_base(id));
}

template <typename Alloc, typename AfterBatch>
void run_allocations(benchmark::State& state, Alloc alloc, AfterBatch after_batch) {
    void* blocks[batch];
    const auto& size = bench::sizes();
    for (auto _ : state) {
        const auto start = clock_type::now();
        for (int i = 0; i < batch; ++i) blocks[i] = alloc(size[i]);
        const auto stop = clock_type::now();
        benchmark::DoNotOptimize(blocks);
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        after_batch(blocks);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void alloc_malloc(benchmark::State& state) {
    run_allocations(
        state, [](uint32_t n) { return std::malloc(n); },
        [](void** blocks) {
            for (int i = batch - 1; i >= 0; --i) std::free(blocks[i]);
        });
}

void alloc_mimalloc(benchmark::State& state) {
    const bench::Mimalloc mi = bench::mimalloc();
    run_allocations(
        state, [mi](uint32_t n) { return mi.malloc(n); },
        [mi](void** blocks) {
            for (int i = batch - 1; i >= 0; --i) mi.free(blocks[i]);
        });
}

template <uint32_t Id>
void alloc_grow_only(benchmark::State& state) {
    Tarvex::context_init(arena_base(Id));
    int batches = 0;
    run_allocations(
        state, [](uint32_t n) { return Tarvex::std_alloc(n, Id); },
        [&batches](void**) {
            if (++batches % batches_per_reset == 0) reset_arena(Id);
        });
    reset_arena(Id);
}

// A pool of 10,000 blocks of four 16-byte fragments, released in shuffled
// order: every other block wholly free, the rest with one fragment in use.
void fragment_pool_run_gc(benchmark::State& state) {
    constexpr int blocks = 10000;
    constexpr int per_block = 4;
    std::vector<void*> fragments(blocks * per_block);
    std::vector<int> release;
    std::mt19937 random(777);
    for (auto _ : state) {
        FragmentPool pool(0, 16, per_block, 4, tarvex_ids::library_context);
        for (auto& f : fragments) f = pool.pool_alloc(16);
        release.clear();
        for (int b = 0; b < blocks; ++b) {
            for (int k = b % 2 == 0 ? 0 : 1; k < per_block; ++k)
                release.push_back(b * per_block + k);
        }
        std::shuffle(release.begin(), release.end(), random);
        for (int i : release) pool.pool_free(fragments[i]);

        const auto start = clock_type::now();
        pool.run_gc();
        const auto stop = clock_type::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.SetItemsProcessed(state.iterations() * blocks);
}

}  // namespace

BENCHMARK(alloc_malloc)->Name("alloc_only/malloc")->UseManualTime();
BENCHMARK(alloc_mimalloc)->Name("alloc_only/mimalloc")->UseManualTime();
BENCHMARK(alloc_grow_only<arena_locked>)->Name("alloc_only/grow_only_flags1_std")->UseManualTime();
BENCHMARK(alloc_grow_only<arena_unlocked>)
    ->Name("alloc_only/grow_only_flags0_std")
    ->UseManualTime();
BENCHMARK(fragment_pool_run_gc)->Name("gc/fragment_pool_10000_blocks")->UseManualTime();

BENCHMARK_MAIN();
