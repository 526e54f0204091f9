// Global operator new and delete replaced for the whole program, in a
// process that tracks every block: each form goes to one context, which the
// first new made (GoogleTest registers its tests with new before main), and
// after the final shutdown releases do nothing instead of crashing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tarvex/tarvex.hpp"

namespace {
constexpr uint32_t heap_id = 0x7d00;
}  // namespace

TARVEX_GLOBAL_NEW_DELETE(heap_id);

namespace {

struct alignas(64) Wide {
    unsigned char bytes[64];
};

// A handle on the context the first new made: it exists by the time a test
// runs, so the name and type given here are not used.
tarvex_context_desc heap_info() {
    static const tarvex::context heap("unused", heap_id, TARVEX_SMALL_BLK_LIST);
    return heap.info();
}

uint32_t live_blocks() {
    return heap_info().fragments;
}

// The compiler may leave out a new-expression whose storage nothing uses:
// each block here escapes.
void* volatile escaped;

template <typename T>
T* kept(T* block) {
    escaped = block;
    return block;
}

bool aligned(const void* p, uintptr_t alignment) {
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

TEST(GlobalNew, TheFirstNewMadeTheContext) {
    const tarvex_context_desc info = heap_info();
    EXPECT_STREQ(info.name, "Global new/delete");
    EXPECT_EQ(info.type, TARVEX_STD_MALLOC);
    EXPECT_GT(info.fragments, 0u);
}

TEST(GlobalNew, EveryFormGoesToTheContext) {
    const uint32_t before = live_blocks();
    tarvex::scope scope(heap_id);
    int* one = kept(new int(1));
    int* many = kept(new int[10]);
    int* quiet = kept(new (std::nothrow) int);
    int* quiet_many = kept(new (std::nothrow) int[10]);
    Wide* wide = kept(new Wide);
    Wide* wides = kept(new Wide[2]);
    Wide* quiet_wide = kept(new (std::nothrow) Wide);
    Wide* quiet_wides = kept(new (std::nothrow) Wide[2]);
    {
        const std::vector<int> numbers(100);
        const std::string text(100, 'x');
        EXPECT_EQ(scope.end(), 10u);
    }
    for (const Wide* p : {wide, wides, quiet_wide, quiet_wides}) EXPECT_TRUE(aligned(p, 64));
    for (const int* p : {one, many, quiet, quiet_many}) EXPECT_TRUE(aligned(p, alignof(int)));

    delete one;
    delete[] many;
    ::operator delete(quiet, sizeof(int));
    ::operator delete[](quiet_many, std::nothrow);
    delete wide;
    delete[] wides;
    ::operator delete(quiet_wide, sizeof(Wide), std::align_val_t(alignof(Wide)));
    ::operator delete[](quiet_wides, std::align_val_t(alignof(Wide)), std::nothrow);
    EXPECT_EQ(live_blocks(), before);
}

int handler_calls = 0;

TEST(GlobalNew, RefusalThrowsOrReturnsNull) {
    tarvex_set_log_func(nullptr);
    // Any allocation would take usage above the hard budget.
    const uint32_t usage = heap_info().usage;
    tarvex_set_context_budget(heap_id, 0, usage);
    EXPECT_EQ(kept(new (std::nothrow) int), nullptr);
    EXPECT_EQ(kept(new (std::nothrow) Wide[2]), nullptr);
    EXPECT_THROW(kept(new int), std::bad_alloc);
    EXPECT_THROW(kept(new Wide), std::bad_alloc);

    // A new handler is called until it made room, as the standard's new does.
    std::set_new_handler([] {
        if (++handler_calls == 2) tarvex_set_context_budget(heap_id, 0, 0);
    });
    int* after_handler = kept(new int(5));
    std::set_new_handler(nullptr);
    EXPECT_EQ(handler_calls, 2);
    delete after_handler;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();

    // The final shutdown, as at the process's end; a library started lazily
    // by an earlier new holds a start of its own.
    int* late = new int(1);
    Wide* late_wide = new Wide;
    int shutdowns = 0;
    while (tarvex_context_alignment(heap_id) != 0 && shutdowns < 2) {
        tarvex_shutdown();
        ++shutdowns;
    }
    const bool torn_down = tarvex_context_alignment(heap_id) == 0;
    delete late;
    delete late_wide;
    std::printf("%s after %d shutdowns; released after it\n",
                torn_down ? "torn down" : "NOT torn down", shutdowns);
    std::fflush(stdout);
    // No exit processing: its releases would only repeat the ones above,
    // and the detach would shut down once more.
    std::_Exit(result != 0 || !torn_down ? 1 : 0);
}
