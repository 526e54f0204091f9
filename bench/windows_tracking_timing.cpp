// The tracking rows of the Linux benchmarks as a plain timing loop for
// Windows, where Google Benchmark is not built: with 100,000 live tracked
// blocks, the untracked pair, the tracked pair in "BackTraceMode" 1 and in
// mode 2 with trace depths 4 and 16, a bare ordered set of entries and a bare
// 16-frame capture; then the capture, the depth-16 pair and the binding's
// start again with "StackWalk: safe" (StackWalk64). Linked against the object
// library so that one process can switch modes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "base/library_state.h"
#include "config/config_file.h"
#include "registry/default_entries.h"
#include "tarvex/tarvex.h"
#include "tracking_setup.h"

namespace {

constexpr uint32_t tracked_context = 0x5150;
constexpr int live_blocks = 100000;
constexpr uint32_t block_size = 48;

template <typename Work>
double nanoseconds_per(int iterations, Work work) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) work();
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / iterations;
}

// Binds the stack walker anew, as a start-up with this walk would, and
// returns how long the binding took.
double rebind(bool safe_walk) {
    namespace fs = std::filesystem;
    const fs::path previous = fs::current_path();
    const fs::path folder = fs::temp_directory_path() / "tarvex_walk_timing";
    fs::create_directories(folder);
    fs::current_path(folder);
    std::ofstream("tarvex.ini") << (safe_walk ? "StackWalk: safe\n" : "StackWalk: frames\n");
    tarvex::read_config();
    fs::current_path(previous);
    fs::remove_all(folder);
    tarvex::stop_debug_help();
    return nanoseconds_per(1, [] { tarvex::start_debug_help(); });
}

double tracked_pair(int mode, uint32_t depth, int iterations) {
    tarvex::back_trace_mode.store(mode);
    Tarvex::set_context_trace_depth(tracked_context, depth);
    return nanoseconds_per(iterations, [] {
        Tarvex::std_free(Tarvex::std_alloc(block_size, tracked_context), tracked_context);
    });
}

}  // namespace

int main() {
    tracking_bench::start_tracking(tracked_context, "Tracked");
    std::vector<void*> live =
        tracking_bench::allocate_live(tracked_context, live_blocks, block_size);

    const double untracked = nanoseconds_per(1000000, [] {
        tarvex::default_std_free(tarvex::default_std_alloc(block_size, tracked_context),
                                 tracked_context);
    });
    const double mode1 = tracked_pair(1, 0, 200000);
    const double mode2_4 = tracked_pair(2, 4, 200);
    const double mode2_16 = tracked_pair(2, 16, 200);

    std::set<MemTrackEntry, tracking_bench::EntryOrder> set;
    std::vector<void*> keys(live_blocks);
    for (auto& key : keys) {
        key = std::malloc(block_size);
        MemTrackEntry entry{};
        entry.address = key;
        set.insert(entry);
    }
    const double bare_set = nanoseconds_per(200000, [&] {
        MemTrackEntry probe{};
        probe.address = std::malloc(block_size);
        set.erase(set.insert(probe).first);
        std::free(probe.address);
    });
    uintptr_t frames[16];
    uint32_t captured = 0;
    const double bare_capture =
        nanoseconds_per(200, [&] { captured = tracking_bench::capture_at_depth(20, frames); });

    const double frames_bind = rebind(false);
    const double safe_bind = rebind(true);
    uint32_t safe_captured = 0;
    const double safe_capture =
        nanoseconds_per(200, [&] { safe_captured = tracking_bench::capture_at_depth(20, frames); });
    const double safe_mode2_16 = tracked_pair(2, 16, 200);

    // One row a line, named as the Linux rows are, which bench/compare reads
    // (and prints beside their goals) as wine/<row>.
    const std::pair<const char*, double> rows[] = {
        {"untracked_pair", untracked},
        {"tracked_pair/mode:1/depth:0", mode1},
        {"tracked_pair/mode:2/depth:4", mode2_4},
        {"tracked_pair/mode:2/depth:16", mode2_16},
        {"bare_set_pair", bare_set},
        {"bare_capture_16", bare_capture},
        {"safe_walk/capture_16", safe_capture},
        {"safe_walk/tracked_pair/mode:2/depth:16", safe_mode2_16},
        {"binding_start/frame_pointers", frames_bind},
        {"binding_start/safe_walk", safe_bind},
    };
    std::printf("%-44s %10s\n", "row", "ns/item");
    for (const auto& [name, ns] : rows) std::printf("%-44s %10.2f\n", name, ns);
    std::printf("(%u frames captured by the frame-pointer walk, %u by the safe walk)\n", captured,
                safe_captured);

    for (void* key : keys) std::free(key);
    tracking_bench::free_live(live, tracked_context);
    return 0;
}
