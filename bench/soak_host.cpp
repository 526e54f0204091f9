// Plays the soak game (soak_mix.h) through the library for a while (default
// 60 s), tracking on and a timeline written, as tarvex.ini in the current
// directory asks (bench/report_tool writes one: BackTraceMode 2, a trace
// depth of 8, Timeline: soak.tl). The file shows what the library's writer
// costs a game's hour: bytes an event.
//
// usage: bench_soak_host [SECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak_mix.h"
#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t context_ids[] = {0, 0x0, 0x1000, 0x2000, 0x3000};

class LibrarySink {
public:
    using Block = void*;
    using Mark = uint32_t;

    Block allocate(uint32_t c, uint32_t size, uint32_t) {
        return Tarvex::std_alloc(size, context_ids[c]);
    }
    void release(uint32_t c, Block block) { Tarvex::std_free(block, context_ids[c]); }
    Mark mark(uint32_t c) { return Tarvex::context_mark(context_ids[c]); }
    void release_to(uint32_t c, Mark mark) { Tarvex::context_release_to(context_ids[c], mark); }
    void reset(uint32_t c) { Tarvex::context_reset(context_ids[c]); }
    void frame(uint64_t) { Tarvex::frame_mark(); }
    void phase(const std::string& name, uint64_t) { Tarvex::phase_mark(name.c_str()); }
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    Tarvex::context_init(
        Tarvex::ContextBase("Level arena", context_ids[soak::level], Tarvex::GrowOnly));
    Tarvex::context_init(Tarvex::ContextBase("Game objects", context_ids[soak::objects]));
    Tarvex::context_init(
        Tarvex::ContextBase("Frame scratch", context_ids[soak::scratch], Tarvex::GrowOnly));
    LibrarySink sink;
    soak::Game<LibrarySink> game(sink, 50000);
    const auto start = std::chrono::steady_clock::now();
    uint32_t frame = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds))
        game.play_frame(frame++);
    game.finish();
    std::printf("%llu allocations in %u frames\n",
                static_cast<unsigned long long>(game.allocations()), frame);
    return 0;
}
