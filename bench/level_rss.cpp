// Resident memory of a game that loads 20 levels of 8 MiB each through one
// grow-only context and resets it at every unload. A process of its own, so
// that nothing else it ran shows in its resident memory. Prints one row a
// level, "levels/rss_mib/after_level:<n> <MiB>", which bench/compare reads.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t level_arena = 0x5d0000;
constexpr uint32_t level_bytes = 8u << 20;
constexpr int levels = 20;

double resident_mib() {
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A level's data: meshes, textures and tables of 1 KiB to 256 KiB, written
// as a loader writes them, until the level holds 8 MiB. Each level draws
// other sizes.
void load_level(int level) {
    std::mt19937 random(static_cast<unsigned>(level));
    std::uniform_int_distribution<uint32_t> size(1024, 256 * 1024);
    for (uint32_t loaded = 0; loaded < level_bytes;) {
        const uint32_t bytes = size(random);
        void* block = Tarvex::std_alloc(bytes, level_arena);
        if (block == nullptr) return;
        std::memset(block, level, bytes);
        loaded += bytes;
    }
}

}  // namespace

int main() {
    Tarvex::ContextBase arena("Levels", level_arena, Tarvex::GrowOnly);
    arena.size_hint = level_bytes;  // blocks of 2 MiB
    Tarvex::context_init(arena);
    for (int level = 1; level <= levels; ++level) {
        load_level(level);
        std::printf("levels/rss_mib/after_level:%d %.2f\n", level, resident_mib());
        Tarvex::context_reset(level_arena);
    }
    return 0;
}
