// A lazy start that re-enters itself or races another thread. A log sink
// that allocates through the library, called during the start ("Unable to
// open tarvex.ini" without a file), is served without starting again; a
// second thread that arrives meanwhile waits for the start instead of seeing
// a half-built registry; and with tracking on ("1" as the argument, with a
// tarvex.ini in mode 1) the block whose call started the library is tracked.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

std::atomic<int> sink_lines{0};
std::atomic<int> sink_blocks{0};
void allocating_sink(const char* text, bool) {
    ++sink_lines;
    const size_t length = std::strlen(text) + 1;
    if (void* copy = tarvex_malloc(static_cast<uint32_t>(length))) {
        std::memcpy(copy, text, length);
        ++sink_blocks;
        tarvex_free(copy);
    }
}

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}

void* first_block = nullptr;
void* other_block = nullptr;

void start_lazily() {
    Tarvex::the_config.log_func = allocating_sink;
    std::thread other([] { other_block = Tarvex::std_alloc(16, tarvex_ids::dynamic_data); });
    first_block = Tarvex::std_alloc(24, tarvex_ids::global_context);
    other.join();
}

#if !defined(_WIN32)
// Runs before the library's own load-time attach.
__attribute__((constructor(101))) void allocate_before_attach() {
    start_lazily();
}
#endif

uint32_t global_fragments() {
    Tarvex::ContextBase infos[16];
    const uint32_t count = Tarvex::get_context_info(infos, 16);
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id == tarvex_ids::global_context) return infos[i].fragments;
    }
    return 0xffffffffu;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    // Linked statically, the library gets no attach notification at all.
    start_lazily();
#endif
    const bool tracking = argc > 1 && std::string(argv[1]) == "1";
    SCENARIO_CHECK(first_block != nullptr);
    // Context 42 exists only once the start has finished.
    SCENARIO_CHECK(other_block != nullptr);
    if (!tracking) {
        SCENARIO_CHECK(sink_lines.load() >= 1);
        SCENARIO_CHECK(sink_blocks.load() == sink_lines.load());
    }

    Tarvex::the_config.log_func = remember;
    SCENARIO_CHECK(global_fragments() == (tracking ? 1u : 0u));
    Tarvex::std_free(first_block, tarvex_ids::global_context);
    Tarvex::std_free(other_block, tarvex_ids::dynamic_data);
    SCENARIO_CHECK(logged.empty());
    SCENARIO_CHECK(global_fragments() == 0);
    // The exit report, which the detach now writes, must not log into a
    // vector already destroyed.
    Tarvex::the_config.log_func = nullptr;
    return scenario_result();
}
