// The workload every allocation benchmark shares: batches of 256 sizes
// uniform in 1..128 bytes, the same sequence for every row, released either
// in reverse order or in one fixed shuffled order.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace bench {

constexpr int batch = 256;

// count sizes uniform in low..high, the same for every run with the seed.
inline std::vector<uint32_t> uniform_sizes(int count, uint32_t low, uint32_t high, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> size(low, high);
    std::vector<uint32_t> v(count);
    for (auto& s : v) s = size(random);
    return v;
}

inline const std::vector<uint32_t>& sizes() {
    static const std::vector<uint32_t> values = uniform_sizes(batch, 1, 128, 12345);
    return values;
}

enum class Order { reverse, shuffled };

// The positions of a batch in the order they are released.
inline const std::vector<int>& release_order(Order order) {
    static const std::vector<int> reverse = [] {
        std::vector<int> v(batch);
        for (int i = 0; i < batch; ++i) v[i] = batch - 1 - i;
        return v;
    }();
    static const std::vector<int> shuffled = [] {
        std::vector<int> v(batch);
        for (int i = 0; i < batch; ++i) v[i] = i;
        std::shuffle(v.begin(), v.end(), std::mt19937(54321));
        return v;
    }();
    return order == Order::reverse ? reverse : shuffled;
}

// Allocates a batch, then releases it; one item is one allocation and its
// release.
template <typename Alloc, typename Free>
void run_pairs(benchmark::State& state, Order order, Alloc alloc, Free release) {
    void* blocks[batch];
    const auto& size = sizes();
    const auto& released = release_order(order);
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) blocks[i] = alloc(size[i]);
        benchmark::DoNotOptimize(blocks);
        for (int i : released) release(blocks[i], size[i]);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

}  // namespace bench
