// Writing the leak report for 10,000, 100,000 and 1,000,000 live tracked
// blocks, each with 8 frames drawn from 1,000 distinct code addresses (so the
// frame cache matters), beside the floor: fwrite of preformatted lines of the
// same total size. Linked against the object library to fill the frames.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/library_state.h"
#include "debughelp/debug_help.h"
#include "tarvex/tarvex.h"
#include "tracking/leak_report.h"
#include "tracking/track_table.h"
#include "tracking_setup.h"

namespace {

constexpr uint32_t report_context = 0x6160;
constexpr int frames_per_block = 8;
constexpr int distinct_addresses = 1000;

std::vector<void*> live;

void write_report(benchmark::State& state);

// Code addresses spread over this program's own code.
std::vector<uintptr_t> code_addresses() {
    std::vector<uintptr_t> addresses;
    const uintptr_t start = reinterpret_cast<uintptr_t>(&write_report);
    for (int i = 0; i < distinct_addresses; ++i) addresses.push_back(start + i * 37);
    return addresses;
}

void fill_table(size_t blocks) {
    tracking_bench::free_live(live, report_context);
    live = tracking_bench::allocate_live(report_context, blocks, 48);
    static const std::vector<uintptr_t> addresses = code_addresses();
    std::mt19937 random(7);
    tarvex::LockHolder hold(tarvex::library_lock());
    // Frames are not part of the table's key; setting them in place keeps
    // the order intact.
    tarvex::for_each_tracked([&](const tarvex::TrackedBlock& block) {
        auto& frames = const_cast<MemTrackEntry&>(block.entry).frames;
        for (int f = 0; f < frames_per_block; ++f)
            frames[f] = addresses[random() % addresses.size()];
    });
}

long file_size(const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return 0;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    return size;
}

void write_report(benchmark::State& state) {
    fill_table(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        tarvex::LockHolder hold(tarvex::library_lock());
        tarvex::write_leak_report("bench_report.xml", 0);
    }
    state.counters["bytes"] = static_cast<double>(file_size("bench_report.xml"));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(write_report)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The floor for the 100,000-block report: the same number of bytes as
// preformatted lines written with fwrite.
void fwrite_same_size(benchmark::State& state) {
    fill_table(100000);
    {
        tarvex::LockHolder hold(tarvex::library_lock());
        tarvex::write_leak_report("bench_report.xml", 0);
    }
    const long target = file_size("bench_report.xml");
    std::vector<std::string> lines;
    for (long written = 0; written < target;) {
        lines.push_back(std::string(150, 'x') + "\r\n");
        written += static_cast<long>(lines.back().size());
    }
    for (auto _ : state) {
        std::FILE* file = std::fopen("bench_floor.txt", "wb");
        for (const auto& line : lines) std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
    state.counters["bytes"] = static_cast<double>(file_size("bench_floor.txt"));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(fwrite_same_size)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    tracking_bench::start_tracking(report_context, "Reported");

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    tracking_bench::free_live(live, report_context);
    std::remove("bench_report.xml");
    std::remove("bench_floor.txt");
    return 0;
}
