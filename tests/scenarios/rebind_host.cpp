// The debug-help binding's count across runs of the library: runs without
// back traces stop nothing they did not start, so after a new start in
// "BackTraceMode: 2" a mini dump neither binds a second time nor, when it
// stops, unbinds what tracking still uses. The host writes tarvex.ini before
// each start; it links the object library to see the binding.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "debughelp/debug_help.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace tarvex;

namespace {

void write_ini(int mode) {
    std::ofstream ini("tarvex.ini", std::ios::binary);
    ini << "BackTraceMode: " << mode << "\n";
}

bool dbghelp_loaded() {
#if defined(_WIN32)
    return GetModuleHandleA("dbghelp.dll") != nullptr;
#else
    return debug_help_live();
#endif
}

std::string first_frame_line;
void keep_first_frame(const char* text, bool) {
    if (std::strstr(text, " D:0 ") != nullptr) first_frame_line = text;
}

__attribute__((noinline)) void dump_after_rebinding() {
    Tarvex::dump_stack_trace();
    __asm__ volatile("" ::: "memory");
}

}  // namespace

int main() {
#if !defined(_WIN32)
    // The shared object's load has started the library already (without a
    // tarvex.ini): that run ends first.
    Tarvex::shutdown();
#endif
    for (const int mode : {0, 1}) {
        write_ini(mode);
        Tarvex::init();
        SCENARIO_CHECK(!debug_help_live());
        Tarvex::shutdown();
    }

    write_ini(2);
    Tarvex::init();
    SCENARIO_CHECK(debug_help_live());
    // What the mini dump does around its work, on every system.
    start_debug_help();
    stop_debug_help();
    SCENARIO_CHECK(debug_help_live());
#if defined(_WIN32)
    std::remove("rebind.dmp");
    SCENARIO_CHECK(Tarvex::mini_dump(nullptr, "rebind.dmp"));
    SCENARIO_CHECK(debug_help_live());
#endif
    SCENARIO_CHECK(dbghelp_loaded());

    // Capture and lookups still work.
    Tarvex::the_config.log_func = keep_first_frame;
    dump_after_rebinding();
    Tarvex::the_config.log_func = nullptr;
    SCENARIO_CHECK(first_frame_line.find("dump_after_rebinding") != std::string::npos);

    Tarvex::shutdown();
    SCENARIO_CHECK(!debug_help_live());
    SCENARIO_CHECK(!dbghelp_loaded());

    // A stop without a start is ignored: of the next two starts only the
    // first binds, and only the second stop unbinds.
    stop_debug_help();
    start_debug_help();
    start_debug_help();
    stop_debug_help();
    SCENARIO_CHECK(debug_help_live());
    stop_debug_help();
    SCENARIO_CHECK(!debug_help_live());
    return scenario_result();
}
