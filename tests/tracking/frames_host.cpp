// How many frames a tracked block records: none in mode 1, the context's
// trace depth (at most 16) in mode 2, always up to 16 in mode 3. The
// expected mode is the host's first argument.
#include <cstdlib>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

std::vector<MemTrackEntry> seen;
void on_break(const MemTrackEntry* entry) {
    seen.push_back(*entry);
}

uint32_t frame_count(const MemTrackEntry& entry) {
    uint32_t n = 0;
    while (n < 16 && entry.frames[n] != 0) ++n;
    for (uint32_t k = n; k < 16; ++k) SCENARIO_CHECK(entry.frames[k] == 0);
    return n;
}

uint32_t frames_at_depth(int depth, uint32_t id);

// Two functions calling each other: the Windows walk stops at a frame whose
// return address equals its own, which a function calling itself from one
// spot would produce.
__attribute__((noinline)) uint32_t deeper(int depth, uint32_t id) {
    const uint32_t n = frames_at_depth(depth - 1, id);
    __asm__ volatile("" ::: "memory");
    return n;
}

// Deep enough that every limit below is reached.
__attribute__((noinline)) uint32_t frames_at_depth(int depth, uint32_t id) {
    if (depth > 0) {
        const uint32_t n = deeper(depth, id);
        __asm__ volatile("" ::: "memory");
        return n;
    }
    seen.clear();
    Tarvex::std_free(Tarvex::std_alloc(8, id), id);
    return seen.empty() ? 99 : frame_count(seen.front());
}

}  // namespace

int main(int argc, char** argv) {
    const int mode = argc > 1 ? std::atoi(argv[1]) : 0;
    const uint32_t depths[] = {0, 4, 40};
    for (uint32_t i = 0; i < 3; ++i) {
        Tarvex::ContextBase base("Depth", 0x500 + i);
        base.trace_depth = depths[i];
        Tarvex::context_init(base);
    }
    Tarvex::the_config.break_func = on_break;
    MemTypeDefs::BreakPoint every_block = {0, 0, 1, 0xffffffffu};
    Tarvex::set_breakpoint(every_block);

    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t n = frames_at_depth(24, 0x500 + i);
        if (mode == 1) SCENARIO_CHECK(n == 0);
        if (mode == 2) SCENARIO_CHECK(n == (depths[i] < 16 ? depths[i] : 16));
        if (mode == 3) SCENARIO_CHECK(n == 16);
    }
    Tarvex::the_config.break_func = nullptr;
    return scenario_result();
}
