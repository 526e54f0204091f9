// The mini dump: a file that starts with "MDMP", with or without the fault's
// exception information, replacing an old file, and leaving the binding as it
// found it. POSIX has no mini dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "debughelp/debug_help.h"
#include "support/file_check.h"
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace tarvex;

namespace {

#if defined(_WIN32)
// Whether the dump holds an exception stream (stream type 6), from its
// header and stream directory.
bool has_exception_stream(const std::string& dump) {
    auto word = [&dump](size_t at) {
        uint32_t value = 0;
        if (at + 4 <= dump.size()) std::memcpy(&value, dump.data() + at, 4);
        return value;
    };
    const uint32_t streams = word(8);
    const uint32_t directory = word(12);
    for (uint32_t i = 0; i < streams; ++i) {
        if (word(directory + i * 12) == 6) return true;
    }
    return false;
}

const char* fault_dump_name = "fault.dmp";
bool fault_dump_written = false;

LONG CALLBACK dump_on_fault(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != 0xe0545856) return EXCEPTION_CONTINUE_SEARCH;
    fault_dump_written = Tarvex::mini_dump(pointers, fault_dump_name);
    return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

}  // namespace

#if defined(_WIN32)

TEST(MiniDump, WritesTheProcessWithAndWithoutTheFault) {
    std::remove("plain.dmp");
    ASSERT_TRUE(Tarvex::mini_dump(nullptr, "plain.dmp"));
    const std::string plain = read_file("plain.dmp");
    EXPECT_EQ(plain.substr(0, 4), "MDMP");
    EXPECT_FALSE(has_exception_stream(plain));
    // The binding was not running before and is not left running.
    EXPECT_FALSE(debug_help_live());

    std::remove(fault_dump_name);
    PVOID handler = AddVectoredExceptionHandler(1, dump_on_fault);
    RaiseException(0xe0545856, 0, 0, nullptr);
    RemoveVectoredExceptionHandler(handler);
    ASSERT_TRUE(fault_dump_written);
    const std::string fault = read_file(fault_dump_name);
    EXPECT_EQ(fault.substr(0, 4), "MDMP");
    EXPECT_TRUE(has_exception_stream(fault));
}

TEST(MiniDump, ReplacesAnExistingFileAndKeepsARunningBindingLive) {
    {
        std::ofstream old("replaced.dmp", std::ios::binary);
        old << "an older file of the same name";
    }
    start_debug_help();
    ASSERT_TRUE(debug_help_live());
    EXPECT_TRUE(Tarvex::mini_dump(nullptr, "replaced.dmp"));
    EXPECT_TRUE(debug_help_live());
    stop_debug_help();
    EXPECT_EQ(read_file("replaced.dmp").substr(0, 4), "MDMP");
}

TEST(MiniDump, FailuresYieldFalse) {
    EXPECT_FALSE(Tarvex::mini_dump(nullptr, nullptr));
    EXPECT_FALSE(Tarvex::mini_dump(nullptr, "no-such-directory\\dump.dmp"));
    EXPECT_FALSE(file_exists("no-such-directory\\dump.dmp"));
    EXPECT_FALSE(debug_help_live());
}

#else

TEST(MiniDump, IsNotAvailableAndCreatesNoFile) {
    std::remove("posix.dmp");
    EXPECT_FALSE(Tarvex::mini_dump(nullptr, "posix.dmp"));
    EXPECT_FALSE(file_exists("posix.dmp"));
    EXPECT_FALSE(Tarvex::mini_dump(nullptr, nullptr));
}

#endif
