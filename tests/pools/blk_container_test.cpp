// The block container: one request per block with the link record right
// after the caller's bytes, totals that only clear resets, and no change at
// all when the context has no storage.
#include <gtest/gtest.h>

#include "pools/pool_test_support.h"
#include "pools/recording_dispatch.h"

namespace {

class TestContainer : public BlkContainer {
public:
    explicit TestContainer(uint32_t id) : BlkContainer(id) {}
    using BlkContainer::blk_alloc;
    using BlkContainer::blk_count;
    using BlkContainer::clear;
    using BlkContainer::free_blk;
    using BlkContainer::mem_usage;
    using BlkContainer::next_of;
    using BlkContainer::node_list;
    using BlkContainer::start_of;
    using Node = BlockNode;
};

// Blocks of 100 and 28 bytes: two requests with the record added, the newer
// record at the head, each record right after its caller's bytes.
TEST(BlkContainer, BlockLayoutAndTotals) {
    RecordingDispatch heap(pool_heap());
    TestContainer container(pool_heap_id);
    char* first = static_cast<char*>(container.blk_alloc(100));
    char* second = static_cast<char*>(container.blk_alloc(28));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(heap.alloc_sizes(), (std::vector<uint32_t>{100 + node_size, 28 + node_size}));
    EXPECT_EQ(container.mem_usage(), 128u);
    EXPECT_EQ(container.blk_count(), 2u);
    TestContainer::Node* head = container.node_list;
    EXPECT_EQ(address(head), address(second + 28));
    EXPECT_EQ(TestContainer::start_of(head), second);
    TestContainer::Node* older = TestContainer::next_of(head);
    EXPECT_EQ(address(older), address(first + 100));
    EXPECT_EQ(TestContainer::start_of(older), first);
    EXPECT_EQ(TestContainer::next_of(older), nullptr);

    // An odd size puts the record at an odd offset, with no rounding.
    TestContainer odd(pool_heap_id);
    char* block = static_cast<char*>(odd.blk_alloc(13));
    EXPECT_EQ(address(odd.node_list), address(block + 13));
    EXPECT_EQ(TestContainer::start_of(odd.node_list), block);
}

// clear releases newest first, to the context named at construction even
// when another context served the last call, and resets both totals.
TEST(BlkContainer, ClearReleasesNewestFirst) {
    RecordingDispatch heap(pool_heap());
    TestContainer container(pool_heap_id);
    void* a = container.blk_alloc(16);
    void* b = container.blk_alloc(16);
    void* c = container.blk_alloc(16);
    heap.take();
    Tarvex::std_free(Tarvex::std_alloc(8, tarvex_ids::global_context), tarvex_ids::global_context);

    container.clear();
    const auto calls = heap.take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].block, c);
    EXPECT_EQ(calls[1].block, b);
    EXPECT_EQ(calls[2].block, a);
    EXPECT_FALSE(calls[0].is_alloc || calls[1].is_alloc || calls[2].is_alloc);
    EXPECT_EQ(container.mem_usage(), 0u);
    EXPECT_EQ(container.blk_count(), 0u);
    EXPECT_EQ(container.node_list, nullptr);

    // An empty container releases nothing.
    container.clear();
    EXPECT_TRUE(heap.take().empty());
}

// free_blk gives one unlinked block back and leaves the totals alone.
TEST(BlkContainer, FreeBlockKeepsTotals) {
    RecordingDispatch heap(pool_heap());
    TestContainer container(pool_heap_id);
    void* kept = container.blk_alloc(100);
    void* released = container.blk_alloc(28);
    heap.take();

    TestContainer::Node* head = container.node_list;
    container.node_list = TestContainer::next_of(head);
    container.free_blk(head);
    auto calls = heap.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].block, released);
    EXPECT_EQ(container.mem_usage(), 128u);
    EXPECT_EQ(container.blk_count(), 2u);

    container.clear();
    calls = heap.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].block, kept);
}

// Without storage blk_alloc returns null, links nothing and keeps the totals;
// a size whose record would wrap 32 bits is not even requested.
TEST(BlkContainer, NoStorageChangesNothing) {
    RecordingDispatch heap(pool_heap());
    TestContainer container(pool_heap_id);
    void* first = container.blk_alloc(40);
    TestContainer::Node* head = container.node_list;
    heap.take();

    heap.fail_requests(true);
    EXPECT_EQ(container.blk_alloc(64), nullptr);
    EXPECT_EQ(heap.alloc_sizes(), std::vector<uint32_t>{64 + node_size});
    EXPECT_EQ(container.node_list, head);
    EXPECT_EQ(container.mem_usage(), 40u);
    EXPECT_EQ(container.blk_count(), 1u);

    EXPECT_EQ(container.blk_alloc(UINT32_MAX - node_size + 1), nullptr);
    EXPECT_EQ(container.blk_alloc(UINT32_MAX), nullptr);
    EXPECT_TRUE(heap.take().empty());
    EXPECT_EQ(container.node_list, head);
    heap.fail_requests(false);

    container.clear();
    const auto calls = heap.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].block, first);
}

// A context id that names no context is served by the null context: no
// block, and the container stays empty.
TEST(BlkContainer, UnknownContextGivesNoBlock) {
    LogCapture log;
    TestContainer container(0x7fff0001);
    EXPECT_EQ(container.blk_alloc(32), nullptr);
    EXPECT_EQ(container.node_list, nullptr);
    EXPECT_EQ(container.blk_count(), 0u);
    EXPECT_EQ(log.count("Tarvex: ERROR: Context not set\n"), 1u);
}

}  // namespace
