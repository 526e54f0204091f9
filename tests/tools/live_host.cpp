// A game for the live view: it marks frames for as long as its first
// argument says (milliseconds), allocating in two contexts each frame, one
// of them growing steadily, and counting its frames on a named counter, and prints each frame's
// number and the host's clock on a line of its own when the second argument is "clock" (the latency
// test compares it with what the page shows). "flat-out" marks frames as fast as it can, its level
// kept at 1,000 blocks, and prints how many frames it made in the first half of its run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t level_id = 0x1e7e1000;
constexpr uint32_t scratch_id = 0x5c7a7c00;

__attribute__((noinline)) void* level_allocation(uint32_t size) {
    return Tarvex::std_alloc(size, level_id);
}

__attribute__((noinline)) void* scratch_allocation(uint32_t size) {
    return Tarvex::std_alloc(size, scratch_id);
}

}  // namespace

int main(int argc, char** argv) {
    const long run_ms = argc > 1 ? std::atol(argv[1]) : 3000;
    const bool clock = argc > 2 && std::strcmp(argv[2], "clock") == 0;
    const bool flat_out = argc > 2 && std::strcmp(argv[2], "flat-out") == 0;
    Tarvex::context_init(Tarvex::ContextBase("Level", level_id, Tarvex::StdMalloc));
    Tarvex::context_init(Tarvex::ContextBase("Scratch", scratch_id, Tarvex::StdMalloc));
    std::vector<void*> level;
    const auto start = std::chrono::steady_clock::now();
    uint64_t frame = 0;
    uint64_t halfway = 0;
    for (;; ++frame) {
        const auto now = std::chrono::steady_clock::now();
        const long elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
        if (elapsed >= run_ms) break;
        // A file named "stop" in the current folder ends the run sooner.
        if (frame % 16 == 0) {
            if (std::FILE* stop = std::fopen("stop", "r")) {
                std::fclose(stop);
                break;
            }
        }
        if (flat_out && halfway == 0 && elapsed >= run_ms / 2) halfway = frame;
        if (frame % 60 == 0) Tarvex::phase_mark(frame % 120 == 0 ? "play" : "menu");
        level.push_back(level_allocation(256));
        if (flat_out && level.size() > 1000) {
            Tarvex::std_free(level.front(), level_id);
            level.erase(level.begin());
        }
        void* scratch[8];
        for (void*& block : scratch) block = scratch_allocation(64);
        for (void* block : scratch) Tarvex::std_free(block, scratch_id);
        Tarvex::inc_counter("frames", 1);
        Tarvex::frame_mark();
        if (clock) {
            const long long ms =
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
            std::printf("frame %llu at %lld\n", static_cast<unsigned long long>(frame + 1), ms);
            std::fflush(stdout);
        }
        if (!flat_out) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (flat_out) std::printf("frames %llu\n", static_cast<unsigned long long>(halfway));
    for (void* block : level) Tarvex::std_free(block, level_id);
    return 0;
}
