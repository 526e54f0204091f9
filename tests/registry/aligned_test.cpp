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

// Every block a context hands out is aligned to the smaller of the context's
// promise and its size's largest power of two, for every size, type and
// family: on 64-bit targets the promise is 16 whatever the flags, on 32-bit
// ones 8 with aligned_blocks, and without it the packed layouts stay.
TEST(ContextAlignment, EveryBlockHasTheAlignmentItsContextPromises) {
    const bool wide = sizeof(void*) > 4;
    struct Kind {
        uint16_t type;
        uint32_t packed_alignment;
    };
    const Kind kinds[] = {{Tarvex::StdMalloc, 8}, {Tarvex::SmallBlkList, 4}, {Tarvex::GrowOnly, 1}};
    uint32_t id = 0x7b00;
    for (const Kind& kind : kinds) {
        for (uint16_t flags : {uint16_t{Tarvex::multi_threaded},
                               uint16_t{Tarvex::multi_threaded | Tarvex::aligned_blocks}}) {
            Tarvex::ContextBase base("alignment", ++id, kind.type);
            base.flags = flags;
            Tarvex::context_init(base);
            const bool aligned = wide || (flags & Tarvex::aligned_blocks) != 0;
            const uint32_t promise = aligned ? (wide ? 16 : 8) : kind.packed_alignment;
            ASSERT_EQ(Tarvex::context_alignment(id), promise) << kind.type << " " << flags;
            for (uint32_t size = 1; size <= 4096; ++size) {
                uint32_t owed = 1;
                while (owed * 2 <= size && owed * 2 <= promise) owed *= 2;
                char* std_block = static_cast<char*>(Tarvex::std_alloc(size, id));
                char* fast_block = static_cast<char*>(Tarvex::fast_alloc(size, id));
                ASSERT_TRUE(std_block != nullptr && fast_block != nullptr);
                ASSERT_EQ(reinterpret_cast<uintptr_t>(std_block) % owed, 0u)
                    << "std_alloc type " << kind.type << " flags " << flags << " size " << size;
                ASSERT_EQ(reinterpret_cast<uintptr_t>(fast_block) % owed, 0u)
                    << "fast_alloc type " << kind.type << " flags " << flags << " size " << size;
                std::memset(std_block, 0x5a, size);
                std::memset(fast_block, 0xa5, size);
                if (kind.type != Tarvex::StdMalloc)
                    ASSERT_EQ(Tarvex::std_size(std_block, id), size);
                Tarvex::std_free(std_block, id);
                Tarvex::fast_free(fast_block, size, id);
            }
        }
    }
    // The plain functions serve from "Global Context", the runtime heap.
    for (uint32_t size = 1; size <= 4096; ++size) {
        void* block = tarvex_malloc(size);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % (size < 8 ? 1 : 8), 0u) << size;
        tarvex_free(block);
    }
    EXPECT_EQ(Tarvex::context_alignment(0x0badf00d), 0u);
}
