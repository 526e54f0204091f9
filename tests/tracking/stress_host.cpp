// Several threads allocate and free through the tracking dispatch table in
// several contexts, one of them single-threaded and kept on one thread, while
// another thread collects and reads statistics, budgets and counters. One
// context has a soft budget the threads cross again and again and a hard one
// they never reach. At the end each context's statistics equal what the
// threads still hold, and nothing but budget warnings was reported.
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

std::atomic<int> errors{0};
std::atomic<int> warnings{0};
void count_errors(const char* text, bool) {
    const bool warning = std::strncmp(text, "Tarvex: WARNING: ", 17) == 0;
    (warning ? warnings : errors).fetch_add(1);
}

constexpr uint32_t shared_ids[] = {0x401, 0x402, 0x403};  // small blocks, arena, heap
constexpr uint32_t single_id = 0x404;
// The heap context's budgets: a few dozen live blocks cross the soft one.
constexpr uint32_t soft_budget = 6000;
constexpr uint32_t hard_budget = 1u << 30;
constexpr int workers = 3;
#if defined(_WIN32)
// Wine's stack walker takes milliseconds per back-trace.
constexpr int operations = 1500;
#else
constexpr int operations = 4000;
#endif

struct Held {
    unsigned char* block;
    uint32_t size;
    uint32_t id;
    unsigned char fill;
};

struct Totals {
    uint32_t fragments[5] = {};
    uint32_t usage[5] = {};
};

int index_of(uint32_t id) {
    return id == single_id ? 3 : static_cast<int>(id - 0x401);
}

bool fill_intact(const Held& held) {
    for (uint32_t i = 0; i < held.size; ++i) {
        if (held.block[i] != held.fill) return false;
    }
    return true;
}

void work(unsigned seed, bool owns_single, std::vector<Held>& kept, std::atomic<int>& bad) {
    std::mt19937 random(seed);
    std::vector<Held> live;
    for (int op = 0; op < operations; ++op) {
        if (!live.empty() && random() % 2 == 0) {
            const size_t pick = random() % live.size();
            Held held = live[pick];
            live[pick] = live.back();
            live.pop_back();
            if (!fill_intact(held)) bad.fetch_add(1);
            Tarvex::std_free(held.block, held.id);
            Tarvex::inc_counter("live blocks", -1);
            continue;
        }
        const uint32_t id = owns_single && random() % 4 == 0 ? single_id : shared_ids[random() % 3];
        const uint32_t size = random() % 301;
        auto* block = static_cast<unsigned char*>(Tarvex::std_alloc(size, id));
        if (block == nullptr) {
            bad.fetch_add(1);
            continue;
        }
        const auto fill = static_cast<unsigned char>(random());
        std::memset(block, fill, size);
        live.push_back({block, size, id, fill});
        Tarvex::inc_counter("live blocks", 1);
    }
    kept = std::move(live);
}

}  // namespace

int main() {
    Tarvex::the_config.log_func = count_errors;
    Tarvex::context_init(Tarvex::ContextBase("Small blocks", shared_ids[0], Tarvex::SmallBlkList));
    Tarvex::ContextBase arena("Arena", shared_ids[1], Tarvex::GrowOnly);
    arena.size_hint = 1 << 20;
    Tarvex::context_init(arena);
    Tarvex::context_init(Tarvex::ContextBase("Heap", shared_ids[2], Tarvex::StdMalloc));
    Tarvex::set_context_budget(shared_ids[2], soft_budget, hard_budget);
    Tarvex::ContextBase single("Single thread", single_id, Tarvex::SmallBlkList);
    single.flags = 0;
    Tarvex::context_init(single);

    std::atomic<bool> done{false};
    std::thread observer([&] {
        Tarvex::ContextBase infos[32];
        MemTypeDefs::Counter counters[8];
        while (!done.load()) {
            Tarvex::run_gc();
            Tarvex::get_context_info(infos, 32);
            Tarvex::get_counter_info(counters, 8);
            uint32_t soft = 0, hard = 0;
            Tarvex::get_context_budget(shared_ids[2], &soft, &hard);
            Tarvex::set_context_budget(shared_ids[2], soft, hard);
            Tarvex::inc_counter("observer rounds", 1);
        }
    });

    std::vector<Held> kept[workers];
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) {
        threads.emplace_back(work, 1000u + t, t == 0, std::ref(kept[t]), std::ref(bad));
    }
    for (auto& thread : threads) thread.join();
    done.store(true);
    observer.join();

    Totals expected;
    for (const auto& list : kept) {
        for (const Held& held : list) {
            const int i = index_of(held.id);
            expected.fragments[i] += 1;
            expected.usage[i] += held.size;
        }
    }
    Tarvex::ContextBase infos[32];
    const uint32_t count = Tarvex::get_context_info(infos, 32);
    int checked = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id < 0x401 || infos[i].id > single_id) continue;
        const int k = index_of(infos[i].id);
        SCENARIO_CHECK(infos[i].fragments == expected.fragments[k]);
        SCENARIO_CHECK(infos[i].usage == expected.usage[k]);
        ++checked;
    }
    SCENARIO_CHECK(checked == 4);
    SCENARIO_CHECK(bad.load() == 0);
    SCENARIO_CHECK(errors.load() == 0);
    SCENARIO_CHECK(warnings.load() > 0);

    size_t held_total = 0;
    for (const auto& list : kept) held_total += list.size();
    SCENARIO_CHECK(Tarvex::get_counter("live blocks") == held_total);
    for (const auto& list : kept) {
        for (const Held& held : list) Tarvex::std_free(held.block, held.id);
    }
    return scenario_result();
}
