// Allocation pairs through Tarvex against the allocators a game programmer
// would pick instead: the C runtime's malloc/free and mimalloc.
#include <benchmark/benchmark.h>
#include <mimalloc.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "tarvex/tarvex.h"

namespace {

constexpr int batch = 256;

// Sizes uniform in 1..128, the same sequence for every row.
const std::vector<uint32_t>& sizes() {
    static const std::vector<uint32_t> values = [] {
        std::mt19937 random(12345);
        std::uniform_int_distribution<uint32_t> size(1, 128);
        std::vector<uint32_t> v(batch);
        for (auto& s : v) s = size(random);
        return v;
    }();
    return values;
}

template <typename Alloc, typename Free>
void run_batches(benchmark::State& state, Alloc alloc, Free release) {
    void* blocks[batch];
    const auto& size = sizes();
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) blocks[i] = alloc(size[i]);
        benchmark::DoNotOptimize(blocks);
        for (int i = batch - 1; i >= 0; --i) release(blocks[i], size[i]);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void malloc_pair(benchmark::State& state) {
    run_batches(state, [](uint32_t n) { return std::malloc(n); },
                [](void* p, uint32_t) { std::free(p); });
}
BENCHMARK(malloc_pair);

void mimalloc_pair(benchmark::State& state) {
    run_batches(state, [](uint32_t n) { return mi_malloc(n); },
                [](void* p, uint32_t) { mi_free(p); });
}
BENCHMARK(mimalloc_pair);

void global_context_std_pair(benchmark::State& state) {
    run_batches(state, [](uint32_t n) { return Tarvex::std_alloc(n, 0); },
                [](void* p, uint32_t) { Tarvex::std_free(p, 0); });
}
BENCHMARK(global_context_std_pair);

}  // namespace

BENCHMARK_MAIN();
