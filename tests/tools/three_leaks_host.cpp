// A game as a team ships it: optimised, built against the package (which
// gives it frame pointers and debug information whatever its own flags),
// its containers, class new and memory resource through tarvex.hpp, and
// three leaks of three kinds, each at a line of its own: a cache's entries
// in containers, a dropped new, and a block of a memory resource. The tool
// must name each leak by its own function and line, and give each a key of
// its own, the same in the leak report and in the timeline.
#include <cstdint>
#include <map>
#include <memory_resource>

#include "tarvex/tarvex.hpp"

TARVEX_GLOBAL_NEW_DELETE(0x3a0)

namespace game {

constexpr std::uint32_t cache_context = 0x3a1, level_context = 0x3a2;

struct Enemy {
    int health = 100;
    float position[3] = {};
};

using TextureCache = std::map<int, tarvex::bound_vector<int, cache_context>>;
TextureCache* cache = nullptr;
Enemy* last_spawned = nullptr;
void* level_block = nullptr;

__attribute__((noinline)) void remember_texture(int id) {
    (*cache)[id].push_back(id);  // leak: the cache's entries
}

__attribute__((noinline)) Enemy* spawn_enemy() {
    return new Enemy;  // leak: a dropped new
}

// Keeps what it allocated: a call in return position would leave no frame
// of this function behind at -O2.
__attribute__((noinline)) void load_level(std::pmr::memory_resource& level) {
    level_block = level.allocate(256);  // leak: a block of the level's resource
}

}  // namespace game

int main() {
    tarvex::context textures("Texture cache", game::cache_context, TARVEX_SMALL_BLK_LIST);
    tarvex::context level("Level", game::level_context, TARVEX_STD_MALLOC);
    tarvex::memory_resource level_resource(game::level_context);
    game::cache = new game::TextureCache;
    for (int frame = 0; frame < 4; ++frame) {
        game::remember_texture(frame);
        game::last_spawned = game::spawn_enemy();
        tarvex::frame_mark();
    }
    game::load_level(level_resource);
    return 0;
}
