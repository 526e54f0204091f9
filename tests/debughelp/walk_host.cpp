// A game built as release builds are, optimised and without frame pointers:
// its one leak is allocated four calls below main, in functions that keep
// enough values across their calls to use the frame-pointer register for
// them. The exit report's stack of that block is checked by check_walk.cmake.
#include <stdint.h>

#include "tarvex/tarvex.h"

constexpr uint32_t walked_context = 0x700;

volatile uint32_t seed = 3;
volatile uint32_t sink = 0;

extern "C" {

__attribute__((noinline)) void* walk_allocate(uint32_t size) {
    void* block = Tarvex::std_alloc(size, walked_context);
    sink = sink + size;
    return block;
}

// Four values live across the call: every callee-saved register, the frame
// pointer's included, holds one.
#define KEEP_FOUR_VALUES_ACROSS(call)                \
    const uint32_t a = seed * 3, b = seed + 5;       \
    const uint32_t c = seed ^ 0x55, d = seed * seed; \
    void* block = call;                              \
    sink = sink + a * b + c * d + (a ^ d) + (b ^ c); \
    return block

__attribute__((noinline)) void* walk_inner(uint32_t n) {
    KEEP_FOUR_VALUES_ACROSS(walk_allocate(n * 8));
}

__attribute__((noinline)) void* walk_middle(uint32_t n) {
    KEEP_FOUR_VALUES_ACROSS(walk_inner(n + 1));
}

__attribute__((noinline)) void* walk_outer(uint32_t n) {
    KEEP_FOUR_VALUES_ACROSS(walk_middle(n + 1));
}
}

int main() {
    Tarvex::context_init(Tarvex::ContextBase("Walked", walked_context));
    void* leaked = walk_outer(seed);
    sink = sink + (leaked != nullptr);
    return 0;
}
