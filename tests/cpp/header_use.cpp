// Every piece of the C++ layer used once, for a compile-only check with the
// options of games built without exceptions or run-time type information.
// The macros are used once with and once without a semicolon.
#include <map>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarvex/tarvex.hpp"

TARVEX_GLOBAL_NEW_DELETE(0x7e01);

struct Plain {
    TARVEX_CLASS_ALLOCATOR(0x7e02)
    int value;
};

struct alignas(64) Wide {
    TARVEX_CLASS_ALLOCATOR(0x7e02);
    float lanes[16];
};

int main() {
    using Text = std::basic_string<char, std::char_traits<char>, tarvex::allocator<char>>;
    tarvex::context arena("Arena", 0x7e03, TARVEX_GROW_ONLY, 0);
    tarvex::scope scope(arena.id(), "scope.xml");
    std::vector<Wide, tarvex::allocator<Wide>> wides{tarvex::allocator<Wide>(arena.id())};
    wides.resize(3);
    std::map<int, Text, std::less<int>, tarvex::allocator<std::pair<const int, Text>>> names{
        tarvex::allocator<std::pair<const int, Text>>(arena.id())};
    tarvex::memory_resource resource(arena.id());
    std::pmr::vector<int> numbers(&resource);
    numbers.push_back(1);
    std::map<int, tarvex::bound_vector<int, 0x7e03>> lists;
    lists[1].push_back(2);
    std::unordered_map<tarvex::bound_string<0x7e03>, int, tarvex::string_hash> ids;
    ids["one"] = 1;
    std::unordered_map<Text, int> texts;
    texts.emplace(Text("two", tarvex::allocator<char>(arena.id())), 2);
    const std::uint32_t mark = arena.mark();
    delete new Plain;
    delete[] new Wide[2];
    arena.release_to(mark);
    tarvex::frame_mark();
    tarvex::phase_mark("loaded");
    arena.reset();
    return static_cast<int>(scope.end() + arena.info().usage);
}
