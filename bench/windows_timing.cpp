// A plain timing loop for Windows, where Google Benchmark is not built: the
// allocation pair of a locked small-block list context against the runtime
// heap's malloc/free, on the workload of the Linux benchmarks (batches of 256
// sizes in 1..128 bytes, released in reverse and in shuffled order). Each
// row runs several rounds, interleaved with the others, and keeps its best.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "tarvex/tarvex.h"

namespace {

constexpr int batch = 256;
constexpr int batches_per_round = 4000;
constexpr int rounds = 5;
constexpr uint32_t small_locked = 0x5b0001;
constexpr uint32_t small_unlocked = 0x5b0002;

struct Workload {
    std::vector<uint32_t> sizes;
    std::vector<int> reverse;
    std::vector<int> shuffled;
};

Workload make_workload() {
    Workload w;
    std::mt19937 random(12345);
    std::uniform_int_distribution<uint32_t> size(1, 128);
    for (int i = 0; i < batch; ++i) {
        w.sizes.push_back(size(random));
        w.reverse.push_back(batch - 1 - i);
        w.shuffled.push_back(i);
    }
    std::shuffle(w.shuffled.begin(), w.shuffled.end(), std::mt19937(54321));
    return w;
}

struct Row {
    const char* name;
    void* (*alloc)(uint32_t size);
    void (*release)(void* block);
};

// Nanoseconds per allocation and release.
double time_round(const Workload& w, const std::vector<int>& order, const Row& row) {
    void* blocks[batch];
    const auto start = std::chrono::steady_clock::now();
    for (int b = 0; b < batches_per_round; ++b) {
        for (int i = 0; i < batch; ++i) blocks[i] = row.alloc(w.sizes[i]);
        for (int i : order) row.release(blocks[i]);
    }
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() /
           (double(batches_per_round) * batch);
}

const Row rows[] = {
    {"malloc/free", [](uint32_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }},
    {"small flags1 std pair", [](uint32_t n) { return Tarvex::std_alloc(n, small_locked); },
     [](void* p) { Tarvex::std_free(p, small_locked); }},
    // Without its lock, the same context shows what the lock costs.
    {"small flags0 std pair", [](uint32_t n) { return Tarvex::std_alloc(n, small_unlocked); },
     [](void* p) { Tarvex::std_free(p, small_unlocked); }},
    {"global std pair", [](uint32_t n) { return Tarvex::std_alloc(n, 0); },
     [](void* p) { Tarvex::std_free(p, 0); }},
};
constexpr int row_count = sizeof(rows) / sizeof(rows[0]);

}  // namespace

int main() {
    Tarvex::context_init(
        Tarvex::ContextBase("Timing small, locked", small_locked, Tarvex::SmallBlkList));
    Tarvex::ContextBase unlocked("Timing small, unlocked", small_unlocked, Tarvex::SmallBlkList);
    unlocked.flags = 0;
    Tarvex::context_init(unlocked);
    const Workload w = make_workload();

    std::printf("%-10s %-22s %10s %8s\n", "order", "row", "ns/pair", "ratio");
    const std::pair<const char*, const std::vector<int>*> orders[] = {{"reverse", &w.reverse},
                                                                      {"shuffled", &w.shuffled}};
    for (const auto& [name, order] : orders) {
        double best[row_count];
        for (double& b : best) b = 1e30;
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < row_count; ++i) {
                best[i] = std::min(best[i], time_round(w, *order, rows[i]));
            }
        }
        for (int i = 0; i < row_count; ++i) {
            std::printf("%-10s %-22s %10.2f %8.2f\n", name, rows[i].name, best[i],
                        best[i] / best[0]);
        }
    }
    std::printf("goal: small flags1 std pair at most 0.30 of malloc/free\n");
    return 0;
}
