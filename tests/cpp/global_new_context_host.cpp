// Global new and delete with the context described in full: a new made by
// another source file's static object before main made the context, and it
// is the one described here (a small-block context with thread caches, not
// a runtime-heap context named "Global new/delete"), in a process that
// tracks every block.
#include <cstdint>
#include <string>

#include "support/scenario_check.h"
#include "tarvex/tarvex.hpp"

namespace {
constexpr uint32_t game_heap = 0x7d10;
constexpr uint16_t game_heap_flags = TARVEX_MULTI_THREADED | TARVEX_THREAD_CACHE;
}  // namespace

TARVEX_GLOBAL_NEW_DELETE_CONTEXT(game_heap, "Game heap", TARVEX_SMALL_BLK_LIST, game_heap_flags);

std::string* early_block();

int main() {
    // Nothing of the game has run yet: no context registered, no new.
    const tarvex::context heap("Game heap, as the game registers it too", game_heap,
                               TARVEX_SMALL_BLK_LIST, game_heap_flags);
    const tarvex_context_desc info = heap.info();
    SCENARIO_CHECK_STR(info.name, "Game heap");
    SCENARIO_CHECK(info.type == TARVEX_SMALL_BLK_LIST);
    SCENARIO_CHECK(info.flags == game_heap_flags);

    std::string* early = early_block();
    SCENARIO_CHECK(early != nullptr && early->size() == 64);
    const uint32_t live = heap.info().fragments;
    SCENARIO_CHECK(live > 0);
    delete early;
    SCENARIO_CHECK(heap.info().fragments == live - 2);  // the string and its text
    return scenario_result();
}
