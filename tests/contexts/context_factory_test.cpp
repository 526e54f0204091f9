// Contexts made through the exported interface: the type code picks the
// class, and a pooled context's blocks travel through the dispatch table to
// the library's own context, also when Tarvex::run_gc collects them.
#include <gtest/gtest.h>

#include <type_traits>

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
