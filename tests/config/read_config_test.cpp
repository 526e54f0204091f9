// read_config on files of every shape a user's disk may hold.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/library_state.h"
#include "config/config_file.h"
#include "config/id_tables.h"
#include "support/log_capture.h"

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

// Runs each test in a fresh directory of its own, where it writes tarvex.ini.
class ReadConfig : public ::testing::Test {
protected:
    ReadConfig() : previous_(fs::current_path()) {
        directory_ = fs::temp_directory_path() /
                     ("tarvex_read_config_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        fs::current_path(directory_);
        back_trace_mode.store(0);
    }
    ~ReadConfig() override {
        fs::current_path(previous_);
        fs::remove_all(directory_);
        back_trace_mode.store(0);
        Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    }

    static void write_ini(const std::string& bytes) {
        std::ofstream("tarvex.ini", std::ios::binary) << bytes;
    }

    static MemTypeDefs::BreakPoint breakpoint() { return Tarvex::get_breakpoint(); }

private:
    fs::path previous_;
    fs::path directory_;
};

}  // namespace

TEST_F(ReadConfig, MissingFileIsLoggedAndClearsTheBreakPoint) {
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{1, 2, 3, 4});
    back_trace_mode.store(5);
    LogCapture log;
    read_config();
    EXPECT_EQ(log.count("Tarvex: Unable to open tarvex.ini\n"), 1u);
    EXPECT_EQ(back_trace_mode.load(), 5);
    EXPECT_EQ(breakpoint().alloc_id, 0u);
    EXPECT_EQ(breakpoint().max_size, 0u);
}

TEST_F(ReadConfig, SetsModeAndBreakPointLaterLinesWinning) {
    write_ini(
        "# BackTraceMode: 3\n"
        "BackTraceMode: 1\n"
        "BreakAllocId: 10\n"
        "BreakAllocId: 11\r\n"
        "BreakContextId: 0x08c76f20\n"
        "BreakMinSize: 16x\n"
        "\n"
        "BreakMaxSize: 64\n"
        "BackTraceMode:2");  // no final newline
    LogCapture log;
    read_config();
    EXPECT_TRUE(log.take().empty());
    EXPECT_EQ(back_trace_mode.load(), 2);
    const MemTypeDefs::BreakPoint bp = breakpoint();
    EXPECT_EQ(bp.alloc_id, 11u);
    EXPECT_EQ(bp.context_id, 0x08c76f20u);
    EXPECT_EQ(bp.min_size, 16u);
    EXPECT_EQ(bp.max_size, 64u);
}

// A line is classified once, by its first 4094 characters, however long it
// is: a key deep inside a long line, or a commented-out key in a long
// comment, sets nothing.
TEST_F(ReadConfig, LongLinesAreClassifiedOnceByTheirStart) {
    std::string text = "BackTraceMode: 3 " + std::string(100000, 'z') + "\n";
    text += std::string(4094, '-') + "BreakAllocId: 42\n";
    text += "# " + std::string(5000, '#') + " BackTraceMode: 1\n";
    text += "#" + std::string(4093, ' ') + "Budget: 0x10 1 1\n";
    text += "BreakMinSize: 7\n";
    write_ini(text);
    read_config();
    EXPECT_EQ(back_trace_mode.load(), 3);
    EXPECT_EQ(breakpoint().alloc_id, 0u);
    EXPECT_EQ(breakpoint().min_size, 7u);
    EXPECT_EQ(find_budget(0x10).hard, 0u);
}

TEST_F(ReadConfig, NulBytesEndALineAndBinaryJunkSetsNothing) {
    std::string text("BreakAllocId: 9\0BackTraceMode: 3\n", 33);
    text += std::string("\0BreakMinSize: 5\n", 17);
    // Every byte but Ctrl-Z, which a Windows runtime takes as the end of a
    // text file.
    for (int i = 0; i < 5000; ++i) {
        const char byte = static_cast<char>((i * 131) % 256);
        if (byte != '\x1a') text += byte;
    }
    text += "\nBreakMaxSize: 12\n";
    write_ini(text);
    read_config();
    EXPECT_EQ(breakpoint().alloc_id, 9u);
    EXPECT_EQ(breakpoint().min_size, 0u);
    EXPECT_EQ(breakpoint().max_size, 12u);
    EXPECT_EQ(back_trace_mode.load(), 0);
}

// The trace depth table is process-wide and never cleared, so this is the
// only test that adds to it.
TEST_F(ReadConfig, TraceDepthFirstLinePerIdWinsAndTheTableHolds64) {
    std::string text = "TraceDepth: 0x7001 5\nTraceDepth: 0x7001 9\n";
    for (uint32_t i = 0; i < 10000; ++i) {
        text += "TraceDepth: 0x" + std::to_string(8000 + i) + " " + std::to_string(i % 16) + "\n";
    }
    write_ini(text);
    read_config();
    EXPECT_EQ(find_trace_depth(0x7001), 5u);
    // 63 ids after 0x7001 fit, the 64th and every later one is dropped.
    EXPECT_EQ(find_trace_depth(0x8000 + 0), 0u);
    EXPECT_EQ(find_trace_depth(0x8001), 1u);
    EXPECT_EQ(find_trace_depth(0x8062), 62u % 16);
    EXPECT_EQ(find_trace_depth(0x8063), 0u);
    EXPECT_EQ(find_trace_depth(0x9999), 0u);
}

#if !defined(_WIN32)
// Only a regular file is read: a FIFO with no writer would block start-up for
// good, and a link to /dev/zero would never end. Both count as no file.
TEST_F(ReadConfig, AFifoOrADeviceCountsAsNoFile) {
    ASSERT_EQ(mkfifo("tarvex.ini", 0600), 0);
    {
        LogCapture log;
        read_config();
        EXPECT_EQ(log.count("Tarvex: Unable to open tarvex.ini\n"), 1u);
    }
    fs::remove("tarvex.ini");
    fs::create_symlink("/dev/zero", "tarvex.ini");
    LogCapture log;
    read_config();
    EXPECT_EQ(log.count("Tarvex: Unable to open tarvex.ini\n"), 1u);
}
#endif

// A huge file is read only as far as any real configuration reaches.
TEST_F(ReadConfig, ReadsABoundedPrefixOfAHugeFile) {
    {
        std::ofstream file("tarvex.ini", std::ios::binary);
        file << "BackTraceMode: 1\n";
        const std::string filler(4000, '#');
        for (int i = 0; i < 2000; ++i) file << filler << '\n';
        file << "BackTraceMode: 3\n";
    }
    read_config();
    EXPECT_EQ(back_trace_mode.load(), 1);
}
