// Out of memory in tracking and in the report, in a process started with
// "BackTraceMode: 1", injected through the runtime heap (wrapped at link
// time): a block whose tree node cannot be had counts nothing, and a report
// that cannot list its blocks says so through the sink and leaves no file
// that could pass for a report.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/failing_heap.h"
#include "support/file_check.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t announced_context = 0x50;
constexpr uint32_t warm_up_context = 0x51;

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}

bool logged_starting(const char* prefix) {
    for (const auto& line : logged) {
        if (line.compare(0, std::strlen(prefix), prefix) == 0) return true;
    }
    return false;
}

bool statistics_are(uint32_t usage, uint32_t usage_peak, uint32_t fragments,
                    uint32_t fragments_peak) {
    Tarvex::ContextBase infos[16];
    const uint32_t count = Tarvex::get_context_info(infos, 16);
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id != announced_context) continue;
        return infos[i].usage == usage && infos[i].usage_peak == usage_peak &&
               infos[i].fragments == fragments && infos[i].fragments_peak == fragments_peak;
    }
    return false;
}

}  // namespace

int main() {
#if defined(_WIN32)
    // Linked statically, the library gets no attach notification.
    Tarvex::init();
#endif
    Tarvex::the_config.log_func = remember;
    Tarvex::context_init(Tarvex::ContextBase("Announced", announced_context));
    Tarvex::context_init(Tarvex::ContextBase("Warm-up", warm_up_context));
    char blocks[2][16];
    // Once with memory, so that nothing is made on first use below.
    Tarvex::mem_track_add(warm_up_context, blocks[1], 16, nullptr);
    Tarvex::mem_track_remove(warm_up_context, blocks[1]);
    Tarvex::dump_state("warm.xml", 0);

    // The announced block's tree node is the only storage its tracking
    // takes (the info is null): without it the entry is dropped, and the
    // statistics, peaks included, stay as they were.
    fail_next_mallocs(1);
    Tarvex::mem_track_add(announced_context, blocks[0], 16, nullptr);
    SCENARIO_CHECK(statistics_are(0, 0, 0, 0));
    // Not stored, so adding it again is no duplicate.
    logged.clear();
    Tarvex::mem_track_add(announced_context, blocks[0], 16, nullptr);
    SCENARIO_CHECK(!logged_starting("Tarvex: ERROR: tracking duplicate entry."));
    SCENARIO_CHECK(statistics_are(16, 16, 1, 1));

    // The report's selection is the first storage a dump takes.
    {
        std::ofstream old("oom.xml", std::ios::binary);
        old << "a report of an earlier run";
    }
    logged.clear();
    fail_next_mallocs(1);
    Tarvex::dump_state("oom.xml", 0);
    SCENARIO_CHECK(logged_starting("Tarvex: ERROR: "));
    SCENARIO_CHECK(!logged_starting("Tarvex: Dump finished"));
    SCENARIO_CHECK(!file_exists("oom.xml"));

    // With memory the same dump lists the block.
    logged.clear();
    Tarvex::dump_state("oom.xml", 0);
    SCENARIO_CHECK(read_file("oom.xml").find("<Allocations Count=\"1\" />") != std::string::npos);
    SCENARIO_CHECK(logged_starting("Tarvex: Dump finished"));

    Tarvex::mem_track_remove(announced_context, blocks[0]);
    // The exit-time report must not log into a vector destroyed by then.
    Tarvex::the_config.log_func = nullptr;
    return scenario_result();
}
