// The standard containers on Tarvex contexts through tarvex.hpp, against the
// standard library's own allocators on the same workloads: a vector of ints
// growing by push_back, and an unordered_map of 100,000 entries built and
// destroyed. Names read <workload>/<row>; bench/compare divides each row by
// the std_allocator and pmr_pool rows of its workload. One item is one
// push_back, or one entry inserted and destroyed.
#include <benchmark/benchmark.h>

#include <memory_resource>
#include <unordered_map>
#include <vector>

#include "tarvex/tarvex.hpp"

namespace {

constexpr uint32_t small_unlocked = 0x5c0001;  // SmallBlkList, flags 0
constexpr uint32_t small_locked = 0x5c0002;    // SmallBlkList, flags 1
constexpr int growth_count = 1000;
constexpr int map_entries = 100000;

void make_contexts() {
    static const tarvex::context unlocked("Bench containers, unlocked", small_unlocked,
                                          TARVEX_SMALL_BLK_LIST, 0);
    static const tarvex::context locked("Bench containers, locked", small_locked,
                                        TARVEX_SMALL_BLK_LIST, TARVEX_MULTI_THREADED);
}

// ---------------------------------------------------------------------------
// vector_growth
// ---------------------------------------------------------------------------

template <typename Vector>
void grow(benchmark::State& state, const typename Vector::allocator_type& allocator) {
    for (auto _ : state) {
        Vector vector(allocator);
        for (int i = 0; i < growth_count; ++i) vector.push_back(i);
        benchmark::DoNotOptimize(vector.data());
    }
    state.SetItemsProcessed(state.iterations() * growth_count);
}

void vector_std_allocator(benchmark::State& state) {
    grow<std::vector<int>>(state, std::allocator<int>());
}

void vector_pmr_pool(benchmark::State& state) {
    std::pmr::unsynchronized_pool_resource pool;
    grow<std::pmr::vector<int>>(state, &pool);
}

template <uint32_t Id>
void vector_tarvex(benchmark::State& state) {
    make_contexts();
    grow<std::vector<int, tarvex::allocator<int>>>(state, tarvex::allocator<int>(Id));
}

// ---------------------------------------------------------------------------
// unordered_map_100k
// ---------------------------------------------------------------------------

template <typename Map>
void fill(benchmark::State& state, const typename Map::allocator_type& allocator) {
    for (auto _ : state) {
        Map map(allocator);
        for (int i = 0; i < map_entries; ++i) map.emplace(i, i);
        benchmark::DoNotOptimize(map.size());
    }
    state.SetItemsProcessed(state.iterations() * map_entries);
}

void map_std_allocator(benchmark::State& state) {
    using Map = std::unordered_map<int, int>;
    fill<Map>(state, Map::allocator_type());
}

void map_pmr_pool(benchmark::State& state) {
    std::pmr::unsynchronized_pool_resource pool;
    fill<std::pmr::unordered_map<int, int>>(state, &pool);
}

template <uint32_t Id>
void map_tarvex(benchmark::State& state) {
    make_contexts();
    tarvex::memory_resource resource(Id);
    fill<std::pmr::unordered_map<int, int>>(state, &resource);
}

}  // namespace

BENCHMARK(vector_std_allocator)->Name("vector_growth/std_allocator");
BENCHMARK(vector_pmr_pool)->Name("vector_growth/pmr_pool");
BENCHMARK(vector_tarvex<small_unlocked>)->Name("vector_growth/small_flags0");
BENCHMARK(vector_tarvex<small_locked>)->Name("vector_growth/small_flags1");
BENCHMARK(map_std_allocator)->Name("unordered_map_100k/std_allocator");
BENCHMARK(map_pmr_pool)->Name("unordered_map_100k/pmr_pool");
BENCHMARK(map_tarvex<small_unlocked>)->Name("unordered_map_100k/small_flags0");
BENCHMARK(map_tarvex<small_locked>)->Name("unordered_map_100k/small_flags1");

BENCHMARK_MAIN();
