// The price of tracking, with 100,000 live tracked blocks in the table:
// tracked std_alloc+std_free pairs in "BackTraceMode" 1 (also with budgets
// set, with a timeline, with a live viewer), and 2 with trace depths 4 and 16, beside the untracked
// pair of the same run and the floors that bound them (a bare ordered set of entries, a bare
// 16-frame capture). Linked against the object library so one process can switch modes.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "base/library_state.h"
#include "registry/default_entries.h"
#include "tarvex/tarvex.h"
#include "tracking/live_stream.h"
#include "tracking/timeline.h"
#include "tracking_setup.h"

namespace {

constexpr uint32_t tracked_context = 0x5150;
constexpr int live_blocks = 100000;
constexpr uint32_t block_size = 48;

void set_mode(int mode, uint32_t depth) {
    tarvex::back_trace_mode.store(mode);
    Tarvex::set_context_trace_depth(tracked_context, depth);
}

void untracked_pair(benchmark::State& state) {
    for (auto _ : state) {
        void* block = tarvex::default_std_alloc(block_size, tracked_context);
        benchmark::DoNotOptimize(block);
        tarvex::default_std_free(block, tracked_context);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(untracked_pair);

void tracked_pair(benchmark::State& state) {
    set_mode(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    for (auto _ : state) {
        void* block = Tarvex::std_alloc(block_size, tracked_context);
        benchmark::DoNotOptimize(block);
        Tarvex::std_free(block, tracked_context);
    }
    state.SetItemsProcessed(state.iterations());
    set_mode(1, 0);
}
BENCHMARK(tracked_pair)->ArgNames({"mode", "depth"})->Args({1, 0})->Args({2, 4})->Args({2, 16});

// Tracked pairs with a frame mark every 1,024, then the timeline's end.
void pairs_with_marks_then_stop(benchmark::State& state) {
    uint32_t pairs = 0;
    for (auto _ : state) {
        void* block = Tarvex::std_alloc(block_size, tracked_context);
        benchmark::DoNotOptimize(block);
        Tarvex::std_free(block, tracked_context);
        if ((++pairs & 1023) == 0) Tarvex::frame_mark();
    }
    tarvex::LockHolder hold(tarvex::library_lock());
    tarvex::timeline_stop();
}

// The mode 1 pair with a timeline written beside it; the counter tells how
// many bytes of the file each event took (an allocation, a release, and
// what they refer to).
void timeline_pair(benchmark::State& state) {
    const char* file_name = "bench_timeline.bin";
    tarvex::timeline_start(file_name);
    pairs_with_marks_then_stop(state);
    state.SetItemsProcessed(state.iterations());
    if (std::FILE* file = std::fopen(file_name, "rb")) {
        std::fseek(file, 0, SEEK_END);
        state.counters["bytes_per_event"] =
            double(std::ftell(file)) / (2.0 * double(state.iterations()));
        std::fclose(file);
    }
    std::remove(file_name);
}
BENCHMARK(timeline_pair);

// The mode 1 pair with the timeline streamed live to a viewer that reads
// everything (a thread of this process on 127.0.0.1, at a port derived from
// the process's id), and no file.
void live_pair(benchmark::State& state) {
    const uint16_t port = static_cast<uint16_t>(20000 + getpid() % 20000);
    tarvex::LiveSetting setting;
    setting.on = true;
    setting.port = port;
    tarvex::live_stream_configure(setting);
    tarvex::timeline_start("");
    std::atomic<bool> connected{false}, stop{false};
    std::thread viewer([&] {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int tries = 0; tries < 500 && !stop; ++tries) {
            if (connect(socket, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0) {
                connected = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        timeval wait = {0, 100000};
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        static char sink[1 << 16];
        while (!stop && recv(socket, sink, sizeof(sink), 0) != 0) {
        }
        close(socket);
    });
    // The game's marks open the listener and take the viewer in.
    for (int i = 0; i < 5000 && !connected; ++i) {
        Tarvex::frame_mark();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!connected) state.SkipWithError("no viewer connected");
    pairs_with_marks_then_stop(state);
    tarvex::live_stream_close();
    stop = true;
    viewer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(live_pair);

// The mode 1 pair in a context with soft and hard budgets that every
// allocation is checked against and none reaches.
void budgeted_pair(benchmark::State& state) {
    Tarvex::set_context_budget(tracked_context, 1u << 30, 1u << 31);
    for (auto _ : state) {
        void* block = Tarvex::std_alloc(block_size, tracked_context);
        benchmark::DoNotOptimize(block);
        Tarvex::std_free(block, tracked_context);
    }
    state.SetItemsProcessed(state.iterations());
    Tarvex::set_context_budget(tracked_context, 0, 0);
}
BENCHMARK(budgeted_pair);

// The floor of mode 1: one insert and one erase in an ordered set of
// entries of the same size holding as many members as the table.
void bare_set_pair(benchmark::State& state) {
    // Keys are real heap blocks, allocated as the table's are, so the tree
    // has the same shape and the same place for a new block.
    std::set<MemTrackEntry, tracking_bench::EntryOrder> set;
    std::vector<void*> blocks(live_blocks);
    for (auto& block : blocks) {
        block = std::malloc(block_size);
        MemTrackEntry entry{};
        entry.address = block;
        set.insert(entry);
    }
    for (auto _ : state) {
        MemTrackEntry probe{};
        probe.address = std::malloc(block_size);
        auto inserted = set.insert(probe);
        benchmark::DoNotOptimize(inserted);
        set.erase(inserted.first);
        std::free(probe.address);
    }
    state.SetItemsProcessed(state.iterations());
    for (void* block : blocks) std::free(block);
}
BENCHMARK(bare_set_pair);

void bare_capture_16(benchmark::State& state) {
    uintptr_t frames[16];
    for (auto _ : state) benchmark::DoNotOptimize(tracking_bench::capture_at_depth(20, frames));
    state.SetItemsProcessed(state.iterations());
    state.counters["frames"] = tracking_bench::capture_at_depth(20, frames);
}
BENCHMARK(bare_capture_16);

}  // namespace

int main(int argc, char** argv) {
    tracking_bench::start_tracking(tracked_context, "Tracked");
    // The table the pairs work against.
    std::vector<void*> live =
        tracking_bench::allocate_live(tracked_context, live_blocks, block_size);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    tracking_bench::free_live(live, tracked_context);
    return 0;
}
