// The handle's debug log: where the file lands, its exact lines, when it ends,
// and handles that must run without one.
#include <gtest/gtest.h>

#include <ctime>

#include "tarvex/classic.h"
#include "test_support.h"

namespace {

using namespace classic_test;

constexpr int32_t header_size = sizeof(BlockHeader);

std::string test_name() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

long long now() {
    return static_cast<int32_t>(std::time(nullptr));
}

std::string handle_line(void* handle, int block_size) {
    return format("Handle allocated Address:    %p Blksize: %d\n", handle, block_size);
}
std::string block_line(const BlockHeader* block) {
    return format("MemBlock Allocated, Address: %p BlkSize: %d\n", static_cast<const void*>(block),
                  static_cast<int>(block->total_size));
}
std::string freeing_block_line(const BlockHeader* block) {
    return format("Freeing Mem Block Address:   %p\n", static_cast<const void*>(block));
}
std::string freeing_handle_line(void* handle) {
    return format("Freeing Handle:              %p\n", handle);
}

// Each test gets its own "tmp" directory and its own current directory, so a
// log that lands in the wrong place shows up as a stray file.
class ClassicLog : public ::testing::Test {
protected:
    FreshDir tmp_dir{"tmp_" + test_name()};
    FreshDir work_dir{"work_" + test_name()};
    ScopedTmpVariable tmp;
    ScopedCurrentDir cwd{work_dir.path()};

    void SetUp() override { tmp.set(tmp_dir.path().string()); }
};

TEST_F(ClassicLog, WrittenToTheTmpDirectoryWithBlocksReleasedNewestFirst) {
    const long long before = now();
    void* handle = TXInit(100, 1);
    const long long after = now();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(record_of(handle).logging, 1);
    EXPECT_NE(record_of(handle).log, nullptr);

    // Three requests of the block size make three blocks.
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(TXGetStor(handle, 104), nullptr);
    }
    const BlockHeader* third = record_of(handle).current;
    const BlockHeader* second = third->older;
    ASSERT_NE(second, nullptr);
    const BlockHeader* first = second->older;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->older, nullptr);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(first->total_size, 136);
    }
    const std::string expected = handle_line(handle, 104) + block_line(first) + block_line(second) +
                                 block_line(third) + freeing_block_line(third) +
                                 freeing_block_line(second) + freeing_block_line(first) +
                                 freeing_handle_line(handle);

    EXPECT_EQ(TXFreeBlock(handle), 0);

    const auto logs = log_files_in(tmp_dir.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(entries_of(tmp_dir.path()).size(), 1u);
    EXPECT_GE(stamp_of(logs[0]), before);
    EXPECT_LE(stamp_of(logs[0]), after);
    EXPECT_EQ(read_bytes(logs[0]), as_written(expected));
    EXPECT_TRUE(entries_of(work_dir.path()).empty());
}

TEST_F(ClassicLog, WrittenToTheCurrentDirectoryWhenTmpIsUnset) {
    tmp.unset();
    const long long before = now();
    void* handle = TXInit(20, 7);  // any non-zero debug flag switches the log on
    const long long after = now();
    ASSERT_NE(handle, nullptr);
    const BlockHeader* block = record_of(handle).current;
    const std::string expected = handle_line(handle, 24) + block_line(block) +
                                 freeing_block_line(block) + freeing_handle_line(handle);
    TXFreeBlock(handle);

    const auto logs = log_files_in(work_dir.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_GE(stamp_of(logs[0]), before);
    EXPECT_LE(stamp_of(logs[0]), after);
    EXPECT_EQ(read_bytes(logs[0]), as_written(expected));
    EXPECT_TRUE(entries_of(tmp_dir.path()).empty());
}

#ifndef _WIN32
// An empty "tmp" would otherwise put the log at the file system's root.
TEST_F(ClassicLog, EmptyTmpCountsAsUnset) {
    tmp.set("");
    TXFreeBlock(TXInit(8, 1));
    EXPECT_EQ(log_files_in(work_dir.path()).size(), 1u);
}
#endif

TEST_F(ClassicLog, RefusedLargeRequestEndsTheLog) {
    void* handle = TXInit(100, 1);
    ASSERT_NE(handle, nullptr);
    const BlockHeader* first = record_of(handle).current;
    ASSERT_NE(TXGetStor(handle, 8), nullptr);
    EXPECT_EQ(TXGetStor(handle, 105), nullptr);
    EXPECT_EQ(record_of(handle).logging, 0);
    EXPECT_EQ(record_of(handle).log, nullptr);

    const auto logs = log_files_in(tmp_dir.path());
    ASSERT_EQ(logs.size(), 1u);
    const std::string expected = as_written(handle_line(handle, 104) + block_line(first) +
                                            "Large Block Req 112, Max: 104\n");
    // The file is closed at once, so it is complete before the handle goes.
    EXPECT_EQ(read_bytes(logs[0]), expected);

    // A new block, another refusal and the release add nothing.
    ASSERT_NE(TXGetStor(handle, 104), nullptr);
    ASSERT_NE(record_of(handle).current, first);
    EXPECT_EQ(TXGetStor(handle, 200), nullptr);
    EXPECT_EQ(TXFreeBlock(handle), 0);
    EXPECT_EQ(read_bytes(logs[0]), expected);
    EXPECT_EQ(entries_of(tmp_dir.path()).size(), 1u);
}

TEST_F(ClassicLog, NoFileWithDebugOff) {
    void* handle = TXInit(100, 0);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < 3; ++i) {
        TXGetStor(handle, 104);
    }
    EXPECT_EQ(TXGetStor(handle, 105), nullptr);
    TXFreeBlock(handle);
    EXPECT_TRUE(entries_of(tmp_dir.path()).empty());
    EXPECT_TRUE(entries_of(work_dir.path()).empty());
}

TEST_F(ClassicLog, HandleWorksWithoutALogWhenTheFileCannotBeCreated) {
    tmp.set((tmp_dir.path() / "missing").string());
    void* handle = TXInit(100, 1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(record_of(handle).logging, 0);
    EXPECT_EQ(record_of(handle).log, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(TXGetStor(handle, 104), nullptr);
    }
    EXPECT_EQ(TXGetStor(handle, 105), nullptr);
    EXPECT_EQ(TXFreeBlock(handle), 0);
    EXPECT_TRUE(entries_of(tmp_dir.path()).empty());
    EXPECT_TRUE(entries_of(work_dir.path()).empty());
}

// The log's path is built in a 200-byte buffer. A directory whose log path
// takes 199 characters still gets its log; one character more and the handle
// runs without a log, rather than writing past the buffer or creating a file
// under a cut name.
TEST_F(ClassicLog, TmpTooLongForThePathBufferMeansNoLog) {
    const std::string base = tmp_dir.path().string();
    const size_t stamp_digits = std::to_string(now()).size();
    const size_t fitting_length = 199 - (1 + 2 + stamp_digits + 4);  // separator, "TX", ".dbg"
    ASSERT_GT(fitting_length, base.size() + 1);
    const std::string name(fitting_length - base.size() - 1, 'd');
    const fs::path fits = tmp_dir.path() / name;
    const fs::path too_long = tmp_dir.path() / (name + "d");
    ASSERT_EQ(fits.string().size(), fitting_length);
    fs::create_directory(fits);
    fs::create_directory(too_long);

    tmp.set(fits.string());
    TXFreeBlock(TXInit(100, 1));
    EXPECT_EQ(log_files_in(fits).size(), 1u);

    tmp.set(too_long.string());
    void* handle = TXInit(100, 1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(record_of(handle).logging, 0);
    EXPECT_NE(TXGetStor(handle, 104), nullptr);
    EXPECT_EQ(TXFreeBlock(handle), 0);
    EXPECT_TRUE(entries_of(too_long).empty());
    EXPECT_EQ(entries_of(tmp_dir.path()).size(), 2u);
    EXPECT_TRUE(entries_of(work_dir.path()).empty());

    // Far beyond the buffer, too.
    tmp.set(std::string(5000, 'x'));
    TXFreeBlock(TXInit(100, 1));
    EXPECT_TRUE(entries_of(work_dir.path()).empty());
}

}  // namespace
