// The allocator when the runtime heap fails: no handle, a handle whose first
// block could not be had, and a further block that could not be had.
#include <gtest/gtest.h>

#include "support/failing_heap.h"
#include "tarvex/classic.h"
#include "test_support.h"

namespace {

using namespace classic_test;

TEST(ClassicHeapFailure, EachFailingRequestReturnsNullAndLeavesTheRestUsable) {
    FreshDir tmp_dir{"tmp_heap_failure"};
    ScopedTmpVariable tmp;
    tmp.set(tmp_dir.path().string());

    // No handle record: null, and no log is opened.
    fail_next_mallocs(1);
    EXPECT_EQ(TXInit(64, 1), nullptr);
    EXPECT_TRUE(log_files_in(tmp_dir.path()).empty());

    // No first block: null, and the log keeps its handle line only.
    fail_next_mallocs(1, 1);
    EXPECT_EQ(TXInit(64, 1), nullptr);
    const auto logs = log_files_in(tmp_dir.path());
    ASSERT_EQ(logs.size(), 1u);
    const std::string text = read_bytes(logs[0]);
    EXPECT_EQ(text.rfind("Handle allocated Address:", 0), 0u);
    EXPECT_EQ(text.find('\n'), text.size() - 1);

    // No further block: that request gets null, the handle stays usable.
    void* handle = TXInit(64, 0);
    ASSERT_NE(handle, nullptr);
    ASSERT_NE(TXGetStor(handle, 60), nullptr);
    fail_next_mallocs(1);
    EXPECT_EQ(TXGetStor(handle, 60), nullptr);
    void* piece = TXGetStor(handle, 60);
    ASSERT_NE(piece, nullptr);
    EXPECT_EQ(length_word_of(piece), 64 + 4);
    EXPECT_EQ(TXFreeBlock(handle), 0);
}

}  // namespace
