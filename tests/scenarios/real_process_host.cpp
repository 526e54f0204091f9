// A game as a real process runs it: its global new and delete go to one
// Tarvex context, a library started before Tarvex has allocated through the
// library already, frames are marked, one block is leaked on purpose, and
// that library frees what it holds after Tarvex's detach. The run's exit
// report and timeline are checked after the process has ended.
#include <cstring>
#include <vector>

#include "support/context_info.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex.hpp"

TARVEX_GLOBAL_NEW_DELETE(0x6a3e)

extern "C" int early_library_blocks();

namespace {

// The game's own leak, of a size nothing else has.
char* leaked = nullptr;

}  // namespace

int main() {
    // The early library ran first, and its blocks came from the library,
    // which it started: a lazy start makes "String data" on the runtime
    // heap, where the attach would have made small blocks.
    SCENARIO_CHECK(early_library_blocks() == 100);
    const Tarvex::ContextBase string_data = context_info_of(0x08c76f20);
    SCENARIO_CHECK_STR(string_data.name, "String data");
    SCENARIO_CHECK(string_data.type == Tarvex::StdMalloc);

    for (int frame = 0; frame < 50; ++frame) {
        std::vector<int> scratch(100 + frame, frame);
        SCENARIO_CHECK(scratch.back() == frame);
        Tarvex::frame_mark();
    }
    leaked = new char[4242];
    std::memset(leaked, 1, 4242);

    // The game asks too late for another kind of context under the id its
    // global new already made: the library keeps the first and says so, in
    // the log file too, which takes every line whatever the sink.
    Tarvex::the_config.log_func = nullptr;
    Tarvex::ContextBase asked("Game objects", 0x6a3e, Tarvex::SmallBlkList);
    asked.flags = Tarvex::multi_threaded;
    Tarvex::context_init(asked);
    Tarvex::context_init(asked);
    return scenario_result();
}
