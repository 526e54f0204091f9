// A small game for the tool's stack tests, built several ways (see
// CMakeLists.txt): unoptimised, so that the C++ runtime's allocation frames
// stand above the game's own; again with every line moved and one more
// leak, as a later build of the same game; optimised, so that a function
// is inlined into its caller; and for Windows with DWARF 5, which the
// system's debug-help library does not read.
#include <stdint.h>

#include <cstddef>
#include <new>
#include <vector>

#include "tarvex/tarvex.h"

#if defined(MOVED_LINES)
// A later build of the game: edits above every function moved its lines.
#line 1000
#endif

// The game routes its global new through the library, as games do; the
// "Global Context" exists before any of the game's own contexts.
void* operator new(std::size_t size) {
    void* block = Tarvex::std_alloc(static_cast<uint32_t>(size), 0);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void operator delete(void* block) noexcept {
    Tarvex::std_free(block, 0);
}

void operator delete(void* block, std::size_t) noexcept {
    Tarvex::std_free(block, 0);
}

namespace game {

constexpr uint32_t records_context = 0x37;
volatile uint32_t sink = 0;

// Grows a vector through the standard library: its last buffer leaks.
__attribute__((noinline)) std::vector<int>* load_ids(int count) {
    auto* ids = new std::vector<int>();
    for (int i = 0; i < count; ++i) ids->push_back(i);
    return ids;
}

// Inlined into its caller when optimised: the caller's frame holds both.
__attribute__((always_inline)) inline void* make_record(uint32_t size) {
    void* record = Tarvex::std_alloc(size, records_context);
    sink = sink + size;
    return record;
}

__attribute__((noinline)) void* spawn_record(uint32_t size) {
    void* record = make_record(size * 2);
    sink = sink + 1;
    return record;
}

#if defined(MOVED_LINES)
__attribute__((noinline)) int* load_extra() {
    return new int[8];
}
#endif

}  // namespace game

int main() {
    Tarvex::context_init(Tarvex::ContextBase("Records", game::records_context));
    std::vector<int>* ids = game::load_ids(100);
    void* record = game::spawn_record(24);
    // Every kind of byte a game's text may hold: XML's specials, the line
    // breaks and a control character, and a code-page letter that is no UTF-8.
    Tarvex::mem_track_set_info(game::records_context, record,
                               "tab\tline\nend\r bell\x07 caf\xe9 <&>\"");
#if defined(MOVED_LINES)
    // The later build leaks one record more, and in a new place too.
    void* again = game::spawn_record(24);
    int* extra = game::load_extra();
    game::sink = game::sink + (again != nullptr) + (extra != nullptr);
#endif
    game::sink = game::sink + (ids != nullptr) + (record != nullptr);
    return 0;
}
