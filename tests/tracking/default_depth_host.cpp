// "TraceDepth: * N" and the warning for a context that records no stacks.
// The first argument is the mode the ini sets: in mode 2 the context whose
// depth is 0 is warned about once, also when the sink allocates in it; in
// mode 3 every block records 16 frames and nothing is warned.
#include <cstdlib>
#include <string>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t unnamed_context = 0x600;  // no TraceDepth line of its own
constexpr uint32_t opted_out_context = 0x601;
constexpr uint32_t own_depth_context = 0x602;  // its record sets 3

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
    // A sink that allocates in the context it is being warned about.
    Tarvex::std_free(Tarvex::std_alloc(8, opted_out_context), opted_out_context);
}

uint32_t last_frames = 0;
void on_break(const MemTrackEntry* entry) {
    last_frames = 0;
    while (last_frames < 16 && entry->frames[last_frames] != 0) ++last_frames;
}

uint32_t trace_depth_of(uint32_t id) {
    Tarvex::ContextBase infos[16];
    const uint32_t count = Tarvex::get_context_info(infos, 16);
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id == id) return infos[i].trace_depth;
    }
    return 99;
}

// Deep enough for any depth below.
__attribute__((noinline)) uint32_t frames_of_block(int depth, uint32_t id) {
    if (depth > 0) {
        const uint32_t n = frames_of_block(depth - 1, id);
        __asm__ volatile("" ::: "memory");
        return n;
    }
    last_frames = 99;
    Tarvex::std_free(Tarvex::std_alloc(16, id), id);
    return last_frames;
}

size_t warnings_for(const char* name) {
    const std::string line = std::string("Tarvex: WARNING: Context ") + name +
                             " records no stacks: its trace depth is 0 (TraceDepth: in "
                             "tarvex.ini)\n";
    size_t n = 0;
    for (const auto& text : logged) n += text == line;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int mode = argc > 1 ? std::atoi(argv[1]) : 0;
    Tarvex::context_init(Tarvex::ContextBase("Unnamed", unnamed_context));
    Tarvex::context_init(Tarvex::ContextBase("Opted out", opted_out_context));
    Tarvex::ContextBase own("Own depth", own_depth_context);
    own.trace_depth = 3;
    Tarvex::context_init(own);
    Tarvex::the_config.log_func = remember;
    Tarvex::the_config.break_func = on_break;
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 1, 0xffffffffu});

    // The first "*" line is the default of every context no line names, the
    // built-in ones too; a named id keeps its own line, a record its own depth.
    SCENARIO_CHECK(trace_depth_of(unnamed_context) == 6);
    SCENARIO_CHECK(trace_depth_of(0) == 6);
    SCENARIO_CHECK(trace_depth_of(opted_out_context) == 0);
    SCENARIO_CHECK(trace_depth_of(own_depth_context) == 3);

    const uint32_t expected_unnamed = mode == 3 ? 16 : 6;
    const uint32_t expected_opted_out = mode == 3 ? 16 : 0;
    for (int round = 0; round < 2; ++round) {
        SCENARIO_CHECK(frames_of_block(20, unnamed_context) == expected_unnamed);
        SCENARIO_CHECK(frames_of_block(20, opted_out_context) == expected_opted_out);
        SCENARIO_CHECK(frames_of_block(20, own_depth_context) == (mode == 3 ? 16u : 3u));
    }
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    Tarvex::the_config.break_func = nullptr;
    Tarvex::the_config.log_func = nullptr;

    SCENARIO_CHECK(warnings_for("Opted out") == (mode == 2 ? 1u : 0u));
    SCENARIO_CHECK(warnings_for("Unnamed") == 0);
    SCENARIO_CHECK(warnings_for("Own depth") == 0);
    return scenario_result();
}
