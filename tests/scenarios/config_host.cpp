// tarvex.ini as start-up reads it, seen from inside the library: the
// back-trace mode, the debug-help binding, the break point and the trace
// depths. Arguments: the expected mode, whether the binding is live (0 or 1),
// and the case: plain, absent, parsing or nodbghelp.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "base/library_state.h"
#include "config/id_tables.h"
#include "debughelp/debug_help.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

using namespace tarvex;

namespace {

std::string logged;
void remember(const char* text, bool) {
    logged += text;
}

bool breakpoint_is(uint32_t alloc_id, uint32_t context_id, uint32_t min_size, uint32_t max_size) {
    const MemTypeDefs::BreakPoint bp = Tarvex::get_breakpoint();
    return bp.alloc_id == alloc_id && bp.context_id == context_id && bp.min_size == min_size &&
           bp.max_size == max_size;
}

// Captures from here: 0 and an untouched array without a live binding.
uint32_t capture_here(uintptr_t* frames, uint32_t limit) {
    LockHolder hold(library_lock());
    StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    return capture_stack(start, limit, frames);
}

void check_capture_is_off() {
    uintptr_t frames[4] = {7, 7, 7, 7};
    SCENARIO_CHECK(capture_here(frames, 4) == 0);
    SCENARIO_CHECK(frames[0] == 7 && frames[3] == 7);
}

// A stop without a start is ignored; the next start binds and its stop
// unbinds.
void check_stop_without_start() {
    Tarvex::shutdown();
    SCENARIO_CHECK(!debug_help_live());
    start_debug_help();
    SCENARIO_CHECK(debug_help_live());
    stop_debug_help();
    SCENARIO_CHECK(!debug_help_live());
}

void check_parsing() {
    // Break point lines: an equals sign, leading blanks and a missing "0x"
    // set nothing; the valid lines do.
    SCENARIO_CHECK(breakpoint_is(7, 0x08c76f20u, 100, 200));
    // The first line for an id wins.
    SCENARIO_CHECK(find_trace_depth(0x2a) == 7);
    SCENARIO_CHECK(find_trace_depth(0x10) == 12);
    // "TraceDepth: 30 5" read nothing and added (0, 0), so the later line for
    // id 0 is ignored; "TraceDepth: 0x30" read only the id.
    SCENARIO_CHECK(find_trace_depth(0) == 0);
    SCENARIO_CHECK(find_trace_depth(0x30) == 0);
    SCENARIO_CHECK(find_trace_depth(0x13b) == 3);
    // The 65th id is dropped.
    SCENARIO_CHECK(find_trace_depth(0x200) == 0);

    // A context made without a trace depth takes the file's.
    Tarvex::context_init(Tarvex::ContextBase("Traced", 0x2a));
    Tarvex::ContextBase infos[16];
    const uint32_t count = Tarvex::get_context_info(infos, 16);
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id == 0x2a) found = infos[i].trace_depth == 7;
    }
    SCENARIO_CHECK(found);

    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{1, 2, 3, 4});
    SCENARIO_CHECK(breakpoint_is(1, 2, 3, 4));
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    SCENARIO_CHECK(breakpoint_is(0, 0, 0, 0));

    // A log file that cannot be opened is said once, through the sink, and
    // the start goes on.
    Tarvex::the_config.log_func = remember;
    Tarvex::shutdown();
    Tarvex::init();
    const std::string refused = "Tarvex: ERROR: Unable to open log file no_such_dir/tarvex.log\n";
    const size_t first = logged.find(refused);
    SCENARIO_CHECK(first != std::string::npos && logged.rfind(refused) == first);
    SCENARIO_CHECK(back_trace_mode.load() == 2);
    Tarvex::the_config.log_func = nullptr;
}

void check_without_dbghelp() {
    check_capture_is_off();
    std::remove("absent.dmp");
    SCENARIO_CHECK(!Tarvex::mini_dump(nullptr, "absent.dmp"));
    SCENARIO_CHECK(!std::ifstream("absent.dmp").good());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: config_host MODE LIVE CASE\n");
        return 2;
    }
#if defined(_WIN32)
    // Linked statically, the library gets no attach notification.
    Tarvex::init();
#endif
    const int expected_mode = std::atoi(argv[1]);
    const bool expected_live = std::atoi(argv[2]) != 0;
    const char* scenario = argv[3];

    SCENARIO_CHECK(back_trace_mode.load() == expected_mode);
    SCENARIO_CHECK(debug_help_live() == expected_live);
    if (!expected_live) check_capture_is_off();

    if (std::strcmp(scenario, "parsing") == 0) {
        check_parsing();
    } else {
        SCENARIO_CHECK(breakpoint_is(0, 0, 0, 0));
    }
    if (std::strcmp(scenario, "absent") == 0) check_stop_without_start();
    if (std::strcmp(scenario, "nodbghelp") == 0) check_without_dbghelp();
    return scenario_result();
}
