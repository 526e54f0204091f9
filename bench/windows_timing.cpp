// A plain timing loop for Windows, where Google Benchmark is not built: the
// allocation pair of a small-block list context with and without its lock
// against the runtime heap's malloc/free, on the workload of the Linux
// benchmarks (batches of 256 sizes in 1..128 bytes, released in reverse and
// in shuffled order); the floor of the lock, one critical-section pair; and
// two threads on the locked context against one, and two on pools of their
// own as a witness; the rows shaped like a game (bench/frame_workload.h):
// contexts in turn, threads each on a context of its own, and the engine
// frame against the runtime heap; and a script interpreter's allocation
// function over one locked small-block context (by id and through its
// handle) against the runtime heap's realloc and free. Each row runs several rounds, interleaved
// with the others, and keeps its best. One row a line, its name and
// nanoseconds per item, which bench/compare reads.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame_workload.h"
#include "script_workload.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int batch = 256;
constexpr int batches_per_round = 4000;
constexpr int rounds = 5;
constexpr uint32_t small_locked = 0x5b0001;
constexpr uint32_t small_unlocked = 0x5b0002;
constexpr uint32_t small_cached = 0x5b0003;  // flags 1 + thread_cache
// As the library creates its critical sections.
constexpr DWORD spin_count = 2000;

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

void run_batches(const Workload& w, const std::vector<int>& order, const Row& row) {
    void* blocks[batch];
    for (int b = 0; b < batches_per_round; ++b) {
        for (int i = 0; i < batch; ++i) blocks[i] = row.alloc(w.sizes[i]);
        for (int i : order) row.release(blocks[i]);
    }
}

double nanoseconds_per_item(clock_type::time_point start, clock_type::time_point stop,
                            double items) {
    return std::chrono::duration<double, std::nano>(stop - start).count() / items;
}

// Nanoseconds per allocation and release.
double time_round(const Workload& w, const std::vector<int>& order, const Row& row) {
    const auto start = clock_type::now();
    run_batches(w, order, row);
    return nanoseconds_per_item(start, clock_type::now(), double(batches_per_round) * batch);
}

// Nanoseconds per item of all threads together: the inverse of their total
// throughput. Thread t first runs prepare(t), which returns its work, and
// then that work, `items` items of it. The clock starts when all are ready
// and stops when the last one's work is done: creating and joining a thread
// costs Wine's server round trips, as long as a round of the fastest rows.
template <typename Prepare>
double time_parallel(int thread_count, double items, Prepare prepare) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<clock_type::time_point> done(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            auto work = prepare(t);
            ++ready;
            while (!go.load()) std::this_thread::yield();
            work();
            done[t] = clock_type::now();
        });
    }
    while (ready.load() != thread_count) std::this_thread::yield();
    const auto start = clock_type::now();
    go = true;
    for (auto& thread : threads) thread.join();
    return nanoseconds_per_item(start, *std::max_element(done.begin(), done.end()),
                                double(thread_count) * items);
}

// Thread t runs rows[t].
double time_threads(const Workload& w, const Row* rows, int thread_count) {
    return time_parallel(thread_count, double(batches_per_round) * batch, [&](int t) {
        return [&w, row = rows[t]] { run_batches(w, w.reverse, row); };
    });
}

double time_critical_section_pair() {
    constexpr int pairs = 4000000;
    CRITICAL_SECTION section;
    InitializeCriticalSectionAndSpinCount(&section, spin_count);
    const auto start = clock_type::now();
    for (int i = 0; i < pairs; ++i) {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
    }
    const double ns = nanoseconds_per_item(start, clock_type::now(), pairs);
    DeleteCriticalSection(&section);
    return ns;
}

const Row rows[] = {
    {"malloc", [](uint32_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }},
    {"small_flags1_std", [](uint32_t n) { return Tarvex::std_alloc(n, small_locked); },
     [](void* p) { Tarvex::std_free(p, small_locked); }},
    // Without its lock, the same context shows what the lock costs.
    {"small_flags0_std", [](uint32_t n) { return Tarvex::std_alloc(n, small_unlocked); },
     [](void* p) { Tarvex::std_free(p, small_unlocked); }},
    {"global_std", [](uint32_t n) { return Tarvex::std_alloc(n, 0); },
     [](void* p) { Tarvex::std_free(p, 0); }},
    // With per-thread caches in front of the locked pools.
    {"small_flags1_cached_std", [](uint32_t n) { return Tarvex::std_alloc(n, small_cached); },
     [](void* p) { Tarvex::std_free(p, small_cached); }},
};
constexpr int row_count = sizeof(rows) / sizeof(rows[0]);
const Row shared_locked[] = {rows[1], rows[1]};
const Row shared_cached[] = {rows[4], rows[4]};
// One fragment pool for each thread, outside any context, shares nothing: about
// 2 when the two threads really ran at once, about 1 when they shared a core.
// Each pool has cache lines of its own; main creates them.
struct alignas(64) PrivatePool {
    FragmentPool pool{0, 128, 32, 4, tarvex_ids::library_context};
};
PrivatePool* private_pool[2];

const Row private_pools[] = {
    {"private_pool", [](uint32_t n) { return private_pool[0]->pool.pool_alloc(n); },
     [](void* p) { private_pool[0]->pool.pool_free(p); }},
    {"private_pool", [](uint32_t n) { return private_pool[1]->pool.pool_alloc(n); },
     [](void* p) { private_pool[1]->pool.pool_free(p); }},
};

// Each thread on an unlocked small-block context of its own.
constexpr uint32_t own_context_base = 0x5b0100;
const Row own_contexts[] = {
    {"own_contexts", [](uint32_t n) { return Tarvex::std_alloc(n, own_context_base); },
     [](void* p) { Tarvex::std_free(p, own_context_base); }},
    {"own_contexts", [](uint32_t n) { return Tarvex::std_alloc(n, own_context_base + 1); },
     [](void* p) { Tarvex::std_free(p, own_context_base + 1); }},
};

void print_row(const char* name, double ns) {
    std::printf("%-44s %10.2f\n", name, ns);
}

// ---------------------------------------------------------------------------
// Contexts in turn, and the engine frame
// ---------------------------------------------------------------------------

constexpr uint32_t interleaved_base[2] = {0x5c0000, 0x5c1000};  // flags 0, flags 1

void make_game_contexts() {
    for (uint16_t flags = 0; flags < 2; ++flags) {
        for (uint32_t k = 0; k < 8; ++k) {
            Tarvex::ContextBase base("Timing interleaved", interleaved_base[flags] + k * 0x10,
                                     Tarvex::SmallBlkList);
            base.flags = flags;
            Tarvex::context_init(base);
        }
    }
    for (uint32_t t = 0; t < 2; ++t) {
        Tarvex::ContextBase own("Timing own context", own_context_base + t, Tarvex::SmallBlkList);
        own.flags = 0;
        Tarvex::context_init(own);
    }
    bench::make_frame_contexts();
}

// Each allocation of a batch served by the next of `contexts` in turn.
double time_interleaved(const Workload& w, uint16_t flags, uint32_t contexts) {
    uint32_t ids[batch];
    for (int i = 0; i < batch; ++i)
        ids[i] = interleaved_base[flags] + (static_cast<uint32_t>(i) % contexts) * 0x10;
    void* blocks[batch];
    const auto start = clock_type::now();
    for (int b = 0; b < batches_per_round; ++b) {
        for (int i = 0; i < batch; ++i) blocks[i] = Tarvex::std_alloc(w.sizes[i], ids[i]);
        for (int i = batch; i-- > 0;) Tarvex::std_free(blocks[i], ids[i]);
    }
    return nanoseconds_per_item(start, clock_type::now(), double(batches_per_round) * batch);
}

constexpr int frames_per_round = 1500;

// Nanoseconds per allocation and release of the engine frame, `threads` at
// once, each with the set `make(t)` gives it.
template <typename MakeSet>
double time_frames(int threads, MakeSet make) {
    return time_parallel(threads, double(frames_per_round) * bench::frame_steps, [&](int t) {
        return [set = make(t)]() mutable {
            bench::FrameRunner<decltype(set)> runner(set);
            for (int f = 0; f < frames_per_round; ++f) runner.run_frame();
        };
    });
}

void print_game_rows(const Workload& w) {
    for (uint16_t flags = 0; flags < 2; ++flags) {
        double best[4] = {1e30, 1e30, 1e30, 1e30};
        for (int r = 0; r < rounds; ++r) {
            for (int k = 0; k < 4; ++k)
                best[k] = std::min(best[k], time_interleaved(w, flags, 1u << k));
        }
        for (int k = 0; k < 4; ++k) {
            const std::string row =
                "interleaved/flags" + std::to_string(flags) + "/contexts:" + std::to_string(1 << k);
            print_row(row.c_str(), best[k]);
        }
    }
    const auto tarvex_set = [](int t) { return bench::TarvexFrame<>(t); };
    const auto heap_set = [](int) {
        return bench::HeapFrame([](uint32_t n) { return std::malloc(n); },
                                [](void* p) { std::free(p); });
    };
    double own[2] = {1e30, 1e30}, frame[2] = {1e30, 1e30}, heap[2] = {1e30, 1e30};
    for (int r = 0; r < rounds; ++r) {
        for (int t = 0; t < 2; ++t) {
            own[t] = std::min(own[t], time_threads(w, own_contexts, t + 1));
            frame[t] = std::min(frame[t], time_frames(t + 1, tarvex_set));
            heap[t] = std::min(heap[t], time_frames(t + 1, heap_set));
        }
    }
    for (int t = 0; t < 2; ++t) {
        const std::string threads = "/threads:" + std::to_string(t + 1);
        print_row(("threads/own_contexts" + threads).c_str(), own[t]);
        print_row(("engine_frame/tarvex" + threads).c_str(), frame[t]);
        print_row(("engine_frame/malloc" + threads).c_str(), heap[t]);
    }
}

template <typename Alloc>
double time_script(Alloc alloc) {
    constexpr int runs = 200;
    const auto start = clock_type::now();
    for (int r = 0; r < runs; ++r) bench::run_script(alloc);
    return nanoseconds_per_item(start, clock_type::now(),
                                double(runs) * bench::script_calls_list().size());
}

void print_script_rows() {
    const tarvex_handle handle = tarvex_context_find(small_locked);
    double heap = 1e30, by_id = 1e30, by_handle = 1e30;
    for (int r = 0; r < rounds; ++r) {
        heap = std::min(heap, time_script([](void* p, uint32_t old_size, uint32_t n) {
                            return bench::heap_script_alloc(
                                [](void* b, uint32_t s) { return std::realloc(b, s); },
                                [](void* b) { std::free(b); }, p, old_size, n);
                        }));
        by_id = std::min(by_id, time_script([](void* p, uint32_t old_size, uint32_t n) {
                             return bench::tarvex_script_alloc(small_locked, p, old_size, n);
                         }));
        by_handle =
            std::min(by_handle, time_script([handle](void* p, uint32_t old_size, uint32_t n) {
                         return bench::tarvex_handle_script_alloc(handle, p, old_size, n);
                     }));
    }
    print_row("script_interpreter/heap", heap);
    print_row("script_interpreter/tarvex", by_id);
    print_row("script_interpreter/tarvex_handle", by_handle);
}

// ---------------------------------------------------------------------------
// The ways to a thread's own pointer in a DLL
//
// thread_local in a mingw program is emulated: every read calls
// __emutls_get_address. TlsGetValue is a call into kernel32. The thread's
// own block keeps the first 64 TLS slots at a fixed offset from fs, one read.
// The library's thread caches take the last (src/platform/platform.h).
// ---------------------------------------------------------------------------

thread_local void* emulated_slot;
DWORD tls_index = TLS_OUT_OF_INDEXES;

__attribute__((noinline)) void* read_emulated() {
    return emulated_slot;
}
__attribute__((noinline)) void* read_tls_get_value() {
    return TlsGetValue(tls_index);
}
__attribute__((noinline)) void* read_thread_block() {
    void* value;
    __asm__ volatile("movl %%fs:0xe10(,%1,4), %0" : "=r"(value) : "r"(tls_index));
    return value;
}

template <typename Read>
double time_reads(Read read) {
    constexpr int reads = 20000000;
    uintptr_t sum = 0;
    const auto start = clock_type::now();
    for (int i = 0; i < reads; ++i) sum += reinterpret_cast<uintptr_t>(read());
    const double ns = nanoseconds_per_item(start, clock_type::now(), reads);
    if (sum == 1) std::printf("\n");  // keeps the reads
    return ns;
}

void print_thread_slot_rows() {
    tls_index = TlsAlloc();
    if (tls_index >= 64) return;
    int marker = 0;
    TlsSetValue(tls_index, &marker);
    emulated_slot = &marker;
    double emulated = 1e30, get_value = 1e30, block = 1e30;
    for (int r = 0; r < rounds; ++r) {
        emulated = std::min(emulated, time_reads(read_emulated));
        get_value = std::min(get_value, time_reads(read_tls_get_value));
        block = std::min(block, time_reads(read_thread_block));
    }
    print_row("thread_slot/thread_local", emulated);
    print_row("thread_slot/tls_get_value", get_value);
    print_row("thread_slot/thread_block", block);
    TlsFree(tls_index);
}

}  // namespace

int main() {
    Tarvex::context_init(
        Tarvex::ContextBase("Timing small, locked", small_locked, Tarvex::SmallBlkList));
    Tarvex::ContextBase unlocked("Timing small, unlocked", small_unlocked, Tarvex::SmallBlkList);
    unlocked.flags = 0;
    Tarvex::context_init(unlocked);
    Tarvex::ContextBase cached("Timing small, cached", small_cached, Tarvex::SmallBlkList);
    cached.flags = Tarvex::multi_threaded | Tarvex::thread_cache;
    Tarvex::context_init(cached);
    make_game_contexts();
    for (auto& pool : private_pool) pool = new PrivatePool;
    const Workload w = make_workload();

    std::printf("%-44s %10s\n", "row", "ns/item");
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
            const std::string row = std::string("pair/") + name + "/" + rows[i].name;
            print_row(row.c_str(), best[i]);
        }
    }

    double section = 1e30;
    double locked[2] = {1e30, 1e30}, cached_threads[2] = {1e30, 1e30}, own_pool[2] = {1e30, 1e30};
    for (int r = 0; r < rounds; ++r) {
        section = std::min(section, time_critical_section_pair());
        for (int t = 0; t < 2; ++t) {
            locked[t] = std::min(locked[t], time_threads(w, shared_locked, t + 1));
            cached_threads[t] = std::min(cached_threads[t], time_threads(w, shared_cached, t + 1));
            own_pool[t] = std::min(own_pool[t], time_threads(w, private_pools, t + 1));
        }
    }
    print_row("critical_section_pair", section);
    for (int t = 0; t < 2; ++t) {
        const std::string threads = "/threads:" + std::to_string(t + 1);
        print_row(("threads/small_flags1_std" + threads).c_str(), locked[t]);
        print_row(("threads/small_cached_std" + threads).c_str(), cached_threads[t]);
        print_row(("threads/private_pool" + threads).c_str(), own_pool[t]);
    }
    print_thread_slot_rows();
    print_game_rows(w);
    print_script_rows();
    for (PrivatePool* pool : private_pool) delete pool;
    return 0;
}
