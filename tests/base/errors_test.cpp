// Every error code's fixed message and flag, and the cut of a long log line.
#include "base/errors.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "tracking/tracking_entries.h"

using namespace tarvex;

TEST(Errors, EveryCodeHasItsMessageAndFlag) {
    const std::pair<std::string, bool> expected[] = {
        {"Tarvex: ERROR: Block exceeds limits\n", false},
        {"Tarvex: ERROR: Invalid grow count\n", true},
        {"Tarvex: ERROR: unknown\n", true},
        {"Tarvex: ERROR: unknown\n", true},
        {"Tarvex: ERROR: Invalid pointer specified\n", false},
        {"Tarvex: ERROR: MemTrack context mismatch\n", false},
        {"Tarvex: ERROR: tracking duplicate entry. \n", true},
        {"Tarvex: ERROR: Context not set\n", true},
        {"Tarvex: ERROR: Single threaded Memory Context is used from multiple Threads\n", true},
        {"Tarvex: ERROR: unknown\n", true},
        {"Tarvex: ERROR: unknown\n", true},
    };
    LogCapture log;
    for (uint32_t code = 0; code < 10; ++code) report_error(code);
    report_error(0xffffffffu);
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 11u);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << i;
}

// Without a sink messages are dropped, not kept for a sink set later.
TEST(Errors, NullSinkDropsEverything) {
    LogCapture log;
    const Tarvex::LogFunc capture = Tarvex::the_config.log_func;
    Tarvex::the_config.log_func = nullptr;
    report_error(7);
    log_message("dropped");
    Tarvex::the_config.log_func = capture;
    log_message("kept");
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, "Tarvex: kept\n");
}

TEST(LogMessage, FormatsAndCutsLongLines) {
    LogCapture log;
    log_message("Unable to open tarvex.ini");
    const std::string long_text(5000, 'x');
    log_message(long_text.c_str());
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, "Tarvex: Unable to open tarvex.ini\n");
    EXPECT_FALSE(lines[0].second);
    ASSERT_EQ(lines[1].first.size(), 1023u);
    EXPECT_EQ(lines[1].first.substr(0, 8), "Tarvex: ");
    EXPECT_EQ(lines[1].first.back(), '\n');
    EXPECT_EQ(lines[1].first[1021], 'x');
}

TEST(Logging, EnableAndDisableSetTheCount) {
    Tarvex::enable_logging(5);
    EXPECT_EQ(logging_count.load(), 5u);
    Tarvex::enable_logging(0xffffffffu);
    EXPECT_EQ(logging_count.load(), logging_unlimited);
    Tarvex::disable_logging();
    EXPECT_EQ(logging_count.load(), 0u);
}
