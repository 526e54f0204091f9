// Run under memcheck in a build with TARVEX_VALGRIND: every pool and both
// pooled contexts at work, which memcheck must find clean, and with the
// argument "read-freed" one read of a freed fragment, which it must report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

constexpr uint32_t small_id = 0x7101, arena_id = 0x7102;

void exercise_pools() {
    FragmentPool fragments(0, 24, 4, 8, 0);
    char* kept[6];
    for (char*& fragment : kept) {
        fragment = static_cast<char*>(fragments.pool_alloc(24));
        std::memset(fragment, 1, 24);
    }
    for (int i = 1; i < 6; ++i) fragments.pool_free(kept[i]);
    fragments.run_gc();
    fragments.pool_alloc(24);
    fragments.clear();

    GrowOnlyPool pieces(64, 0);
    for (uint32_t size : {5u, 0u, 40u, 100u}) std::memset(pieces.pool_alloc(size), 2, size);
    StaticStringPool texts(32, 64, 0);
    if (std::strcmp(texts.str_add("a text"), "a text") != 0) std::abort();
}

void exercise_contexts() {
    Tarvex::context_init(Tarvex::ContextBase("Small blocks", small_id, Tarvex::SmallBlkList));
    Tarvex::context_init(Tarvex::ContextBase("Arena", arena_id, Tarvex::GrowOnly));
    for (uint32_t size : {0u, 4u, 60u, 124u, 200u}) {
        void* block = Tarvex::std_alloc(size, small_id);
        std::memset(block, 3, size);
        if (Tarvex::std_size(block, small_id) != size) std::abort();
        Tarvex::std_free(block, small_id);
        void* piece = Tarvex::std_alloc(size, arena_id);
        std::memset(piece, 4, size);
        if (Tarvex::std_size(piece, arena_id) != size) std::abort();
    }
    Tarvex::run_gc();
}

}  // namespace

int main(int argc, char** argv) {
    exercise_pools();
    exercise_contexts();
    if (argc > 1 && std::strcmp(argv[1], "read-freed") == 0) {
        FragmentPool pool(0, 16, 8, 4, 0);
        char* fragment = static_cast<char*>(pool.pool_alloc(16));
        std::memset(fragment, 5, 16);
        pool.pool_free(fragment);
        volatile char byte = fragment[8];
        (void)byte;
    }
    std::puts("done");
    return 0;
}
