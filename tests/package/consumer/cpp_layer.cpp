// A game-shaped user of the C++ layer, built against the installed package.
// It includes tarvex.hpp alone, so the only names it asks of the library are
// C names, which any compiler's game can link.
#include <cstdio>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarvex/tarvex.hpp"

namespace {
constexpr uint32_t entities_id = 0x3000, objects_id = 0x3001, scratch_id = 0x3002, heap_id = 0x3003;
}  // namespace

TARVEX_GLOBAL_NEW_DELETE(heap_id);

namespace {

struct Enemy {
    TARVEX_CLASS_ALLOCATOR(objects_id);
    float position[3];
    int health;
};

}  // namespace

int main() {
    const tarvex::context entities("Entities", entities_id, TARVEX_SMALL_BLK_LIST,
                                   TARVEX_MULTI_THREADED | TARVEX_ALIGNED_BLOCKS);
    const tarvex::context objects("Objects", objects_id, TARVEX_SMALL_BLK_LIST);
    const tarvex::context scratch("Frame scratch", scratch_id, TARVEX_GROW_ONLY, 0);
    bool ok = true;
    {
        tarvex::scope level(entities_id);
        std::vector<int, tarvex::allocator<int>> ids{tarvex::allocator<int>(entities_id)};
        tarvex::memory_resource frame(scratch_id);
        std::pmr::unordered_map<int, std::pmr::string> names(&frame);
        for (int i = 0; i < 100; ++i) {
            ids.push_back(i);
            names.emplace(i, "an entity whose name needs a block of its own");
        }
        Enemy* enemies = new Enemy[4];
        const std::string log(200, '.');
        ok = ids.size() == 100 && names.size() == 100 && enemies != nullptr && log.size() == 200;
        delete[] enemies;
        level.end();
    }
    std::printf(ok ? "C++ consumer ok\n" : "C++ consumer failed\n");
    return ok ? 0 : 1;
}
