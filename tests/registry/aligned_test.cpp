// Aligned blocks: the address is aligned, the pointer the context handed out
// sits just below it, and the requested bytes lie inside what was obtained.
#include <gtest/gtest.h>

#include <cstring>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"

namespace {

void* obtained_below(void* aligned) {
    void* obtained = nullptr;
    std::memcpy(&obtained, static_cast<char*>(aligned) - sizeof(void*), sizeof(void*));
    return obtained;
}

}  // namespace

TEST(AlignedAlloc, AlignsAndKeepsTheObtainedPointerBelow) {
    for (uint32_t alignment : {16u, 32u, 64u, 4096u}) {
        void* block = Tarvex::aligned_alloc(100, alignment, 0);
        ASSERT_NE(block, nullptr);
        const uintptr_t address = reinterpret_cast<uintptr_t>(block);
        EXPECT_EQ(address % alignment, 0u);
        const uintptr_t obtained = reinterpret_cast<uintptr_t>(obtained_below(block));
        // The aligned address is the first multiple of the alignment that
        // leaves room for the back pointer.
        const uintptr_t expected =
            (obtained + sizeof(void*) + alignment - 1) & ~uintptr_t(alignment - 1);
        EXPECT_EQ(address, expected);
        EXPECT_LE(address + 100, obtained + 100 + alignment);
        std::memset(block, 0xab, 100);
        Tarvex::aligned_free(block, 0);
    }
}

// Alignments that are not powers of two, or too small for the back pointer,
// are raised; one that no 32-bit power of two can hold is refused.
TEST(AlignedAlloc, OddAlignmentsAreRaisedAndImpossibleOnesRefused) {
    for (uint32_t alignment : {0u, 1u, 3u, 24u, 100u}) {
        uint32_t raised = sizeof(void*);
        while (raised < alignment) raised *= 2;
        void* block = Tarvex::aligned_alloc(10, alignment, 0);
        ASSERT_NE(block, nullptr) << alignment;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % raised, 0u) << alignment;
        std::memset(block, 0, 10);
        Tarvex::aligned_free(block, 0);
    }
    EXPECT_EQ(Tarvex::aligned_alloc(10, 0x80000001u, 0), nullptr);
    EXPECT_EQ(Tarvex::aligned_alloc(0xfffffff0u, 64, 0), nullptr);
    // The request carries the back pointer's slack as well as the alignment.
    EXPECT_EQ(Tarvex::aligned_alloc(UINT32_MAX - 64 - sizeof(void*) + 2, 64, 0), nullptr);
}

// A context that hands out nothing (here the null context behind an unknown
// id): no back pointer is written through a null block, null comes back.
TEST(AlignedAlloc, NullFromTheContextYieldsNull) {
    LogCapture log;
    EXPECT_EQ(Tarvex::aligned_alloc(64, 16, 0x0badf00d), nullptr);
}

// Whatever address a context hands out (packed grow-only pieces, fragments
// behind a 4-byte header, the heap), the caller's bytes stay inside the
// block the context gave: an aligned block never reaches into its neighbour.
TEST(AlignedAlloc, StaysInsideTheObtainedBlockOnEveryContextType) {
    const uint16_t types[] = {Tarvex::StdMalloc, Tarvex::SmallBlkList, Tarvex::GrowOnly};
    uint32_t id = 0x7a00;
    for (uint16_t type : types) {
        Tarvex::context_init(Tarvex::ContextBase("aligned", ++id, type));
        for (uint32_t shift = 0; shift < 8; ++shift) {
            // A packed piece of `shift` bytes moves the next one off alignment.
            void* filler = Tarvex::std_alloc(shift + 1, id);
            for (uint32_t alignment : {8u, 16u}) {
                for (uint32_t size : {1u, 7u, 20u, 61u, 200u}) {
                    void* block = Tarvex::aligned_alloc(size, alignment, id);
                    ASSERT_NE(block, nullptr);
                    char* obtained = static_cast<char*>(obtained_below(block));
                    const uint32_t obtained_size = Tarvex::std_size(obtained, id);
                    EXPECT_LE(static_cast<char*>(block) + size, obtained + obtained_size)
                        << "type " << type << " shift " << shift << " alignment " << alignment
                        << " size " << size;
                    std::memset(block, 0xab, size);
                    if (type != Tarvex::GrowOnly) Tarvex::aligned_free(block, id);
                }
            }
            if (type != Tarvex::GrowOnly) Tarvex::std_free(filler, id);
        }
    }
}
