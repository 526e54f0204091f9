// Contexts made through the exported interface: the type code picks the
// class, and a pooled context's blocks travel through the dispatch table to
// the library's own context, also when Tarvex::run_gc collects them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "contexts/block_layout.h"
#include "contexts/context_test_support.h"
#include "pools/recording_dispatch.h"

namespace {

// What a context made with the default flags lays out: aligned blocks on
// 64-bit targets, the packed layout on 32-bit ones.
template <typename Layout>
uint32_t std_pool_block_for(uint32_t size) {
    const uint32_t total = size + Layout::header_for_size(size);
    uint32_t fragment = 8;
    for (uint32_t f : {16u, 32u, 48u, 64u, 96u, 128u})
        if (fragment < total) fragment = f;
    const uint32_t grow = fragment <= 32 ? 32 : fragment == 48 ? 16 : 8;
    return pool_block(fragment, grow, Layout::pool_alignment(fragment));
}
using DefaultLayout =
    std::conditional_t<tarvex::wide_addresses, tarvex::DefaultAlignedLayout, tarvex::PackedLayout>;

uint32_t make(uint32_t id, uint16_t type, uint32_t size_hint = 0) {
    start_library();
    Tarvex::ContextBase base("Factory test", id, type);
    base.size_hint = size_hint;
    Tarvex::context_init(base);
    return id;
}

TEST(ContextFactory, TypeCodePicksTheClass) {
    RecordingDispatch library(tarvex_ids::library_context);

    const uint32_t small = make(0x6101, Tarvex::SmallBlkList);
    void* block = Tarvex::std_alloc(10, small);
    EXPECT_EQ(library.alloc_sizes(), std::vector<uint32_t>{std_pool_block_for<DefaultLayout>(10)});
    EXPECT_EQ(Tarvex::std_size(block, small), 10u);
    Tarvex::std_free(block, small);

    const uint32_t arena = make(0x6102, Tarvex::GrowOnly, 40000);
    block = Tarvex::std_alloc(10, arena);
    EXPECT_EQ(library.alloc_sizes(), std::vector<uint32_t>{10000 + node_size});
    EXPECT_EQ(Tarvex::std_size(block, arena), 10u);

    const uint32_t heap = make(0x6103, 9);
    block = Tarvex::std_alloc(10, heap);
    EXPECT_TRUE(library.take().empty());
    EXPECT_GE(Tarvex::std_size(block, heap), 10u);
    Tarvex::std_free(block, heap);
}

// Tarvex::run_gc holds the library lock while the context collects; the
// released block still reaches the library's own context.
TEST(ContextFactory, LibraryCollectionReachesPooledContexts) {
    RecordingDispatch library(tarvex_ids::library_context);
    const uint32_t small = make(0x6104, Tarvex::SmallBlkList);
    void* block = Tarvex::fast_alloc(20, small);
    const auto grown = library.take();
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[0].size, pool_block(32, 32, DefaultLayout::pool_alignment(32)));
    Tarvex::fast_free(block, 20, small);

    Tarvex::run_gc();
    bool released = false;
    for (const auto& call : library.take())
        released |= !call.is_alloc && call.block == grown[0].block;
    EXPECT_TRUE(released);
}

}  // namespace

// Every size a game asks for, in every class a context can be made as:
// each block holds its bytes until released, has the alignment its size
// needs, and reports its size; no block overlaps another.
TEST(ContextFactory, EverySizeInEveryContextClass) {
    struct Made {
        uint16_t type;
        uint16_t flags;
    };
    const Made classes[] = {
        {Tarvex::StdMalloc, 0},
        {Tarvex::SmallBlkList, 0},
        {Tarvex::SmallBlkList, Tarvex::multi_threaded},
        {Tarvex::SmallBlkList, Tarvex::multi_threaded | Tarvex::thread_cache},
        {Tarvex::SmallBlkList, Tarvex::aligned_blocks},
        {Tarvex::GrowOnly, 0},
        {Tarvex::GrowOnly, Tarvex::multi_threaded | Tarvex::aligned_blocks},
    };
    constexpr uint32_t largest = 4096;
    uint32_t id = 0x6300;
    for (const Made& made : classes) {
        start_library();
        Tarvex::ContextBase base("Every size", ++id, made.type);
        base.flags = made.flags;
        Tarvex::context_init(base);
        const uint32_t promised = Tarvex::context_alignment(id);
        std::vector<unsigned char*> std_blocks(largest + 1), fast_blocks(largest + 1);
        for (uint32_t size = 1; size <= largest; ++size) {
            std_blocks[size] = static_cast<unsigned char*>(Tarvex::std_alloc(size, id));
            fast_blocks[size] = static_cast<unsigned char*>(Tarvex::fast_alloc(size, id));
            ASSERT_NE(std_blocks[size], nullptr) << "type " << made.type << " size " << size;
            ASSERT_NE(fast_blocks[size], nullptr) << "type " << made.type << " size " << size;
            const uint32_t needed = std::min(promised, tarvex::floor_power_of_two(size));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(std_blocks[size]) % needed, 0u)
                << "type " << made.type << " flags " << made.flags << " size " << size;
            if (made.type != Tarvex::StdMalloc)
                EXPECT_EQ(Tarvex::std_size(std_blocks[size], id), size);
            std::memset(std_blocks[size], static_cast<int>(size), size);
            std::memset(fast_blocks[size], static_cast<int>(~size), size);
        }
        for (uint32_t size = largest; size >= 1; --size) {
            const auto holds = [size](const unsigned char* block, unsigned char byte) {
                return std::all_of(block, block + size,
                                   [byte](unsigned char b) { return b == byte; });
            };
            ASSERT_TRUE(holds(std_blocks[size], static_cast<unsigned char>(size)))
                << "type " << made.type << " flags " << made.flags << " size " << size;
            ASSERT_TRUE(holds(fast_blocks[size], static_cast<unsigned char>(~size)))
                << "type " << made.type << " flags " << made.flags << " size " << size;
            Tarvex::std_free(std_blocks[size], id);
            Tarvex::fast_free(fast_blocks[size], size, id);
        }
        if (made.type == Tarvex::GrowOnly) Tarvex::context_reset(id);
    }
}
