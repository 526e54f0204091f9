// Classification by the first key a line contains, and parsing from the
// line's first character by the rules of formatted input.
#include "config/config_line.h"

#include <gtest/gtest.h>

using namespace tarvex;

namespace {

struct Parsed {
    ConfigKey key;
    ConfigSettings settings;
    TraceDepthSetting depth;
    BudgetSetting budget;
};

Parsed parse(const char* line) {
    Parsed parsed;
    parsed.key = parse_config_line(line, parsed.settings, parsed.depth, parsed.budget);
    return parsed;
}

}  // namespace

TEST(ConfigLine, BackTraceModeAcceptsOnlyTheKeyAtTheStartFollowedByAColon) {
    EXPECT_EQ(parse("BackTraceMode: 2\n").settings.back_trace_mode, 2);
    EXPECT_EQ(parse("BackTraceMode:3").settings.back_trace_mode, 3);
    EXPECT_EQ(parse("BackTraceMode:\t \t-1 trailing words\n").settings.back_trace_mode, -1);
    EXPECT_EQ(parse("BackTraceMode: +4\r\n").settings.back_trace_mode, 4);
    // Each of these is classified but sets nothing.
    for (const char* line :
         {"BackTraceMode= 2", "  BackTraceMode: 2", "BackTraceMode : 2", "BackTraceMode: x2",
          "BackTraceMode: - 2", "BackTraceMode", "My BackTraceMode: 2"}) {
        const Parsed parsed = parse(line);
        EXPECT_EQ(parsed.key, ConfigKey::back_trace_mode) << line;
        EXPECT_EQ(parsed.settings.back_trace_mode, 0) << line;
    }
}

TEST(ConfigLine, BreakPointFields) {
    EXPECT_EQ(parse("BreakAllocId: 1234").settings.breakpoint.alloc_id, 1234u);
    EXPECT_EQ(parse("BreakAllocId: -1").settings.breakpoint.alloc_id, 0xffffffffu);
    EXPECT_EQ(parse("BreakContextId: 0x08c76f20").settings.breakpoint.context_id, 0x08c76f20u);
    EXPECT_EQ(parse("BreakContextId:0xDEADbeef").settings.breakpoint.context_id, 0xdeadbeefu);
    // The hexadecimal conversion takes its own optional prefix after the
    // format's literal "0x", as scanf's %x does.
    EXPECT_EQ(parse("BreakContextId: 0x0x1f").settings.breakpoint.context_id, 0x1fu);
    EXPECT_EQ(parse("BreakContextId: 1234").settings.breakpoint.context_id, 0u);
    EXPECT_EQ(parse("BreakContextId: 0X1234").settings.breakpoint.context_id, 0u);
    EXPECT_EQ(parse("BreakMinSize: 100x").settings.breakpoint.min_size, 100u);
    EXPECT_EQ(parse("BreakMinSize: 100").settings.breakpoint.min_size, 100u);
    EXPECT_EQ(parse("BreakMaxSize: 200 bytes").settings.breakpoint.max_size, 200u);
}

TEST(ConfigLine, NumbersTooLargeWrapTheSameOnEveryRuntime) {
    EXPECT_EQ(parse("BreakAllocId: 4294967297").settings.breakpoint.alloc_id, 1u);
    EXPECT_EQ(parse("BreakContextId: 0x1ffffffff").settings.breakpoint.context_id, 0xffffffffu);
    EXPECT_EQ(parse("BreakAllocId: 99999999999999999999999999999999").key,
              ConfigKey::break_alloc_id);
}

TEST(ConfigLine, FirstKeyInTableOrderDecides) {
    // Contains BackTraceMode, so it is parsed as such and fails.
    const Parsed mixed = parse("BreakAllocId: 5 BackTraceMode");
    EXPECT_EQ(mixed.key, ConfigKey::back_trace_mode);
    EXPECT_EQ(mixed.settings.breakpoint.alloc_id, 0u);
    EXPECT_EQ(parse("TraceDepth: 0x10 4 BreakMaxSize").key, ConfigKey::break_max_size);
    // "TraceDepth" needs its colon to be a key at all.
    EXPECT_EQ(parse("TraceDepth 0x10 4").key, ConfigKey::ignored);
    EXPECT_EQ(parse("# BackTraceMode: 3").key, ConfigKey::ignored);
    EXPECT_EQ(parse("").key, ConfigKey::ignored);
    EXPECT_EQ(parse("Unknown: 1").key, ConfigKey::ignored);
}

TEST(ConfigLine, TraceDepthKeepsWhatParsed) {
    const Parsed full = parse("TraceDepth: 0x2a 7\n");
    EXPECT_EQ(full.key, ConfigKey::trace_depth);
    EXPECT_EQ(full.depth.context_id, 0x2au);
    EXPECT_EQ(full.depth.depth, 7u);
    const Parsed blanks = parse("TraceDepth:0x2a\t12");
    EXPECT_EQ(blanks.depth.context_id, 0x2au);
    EXPECT_EQ(blanks.depth.depth, 12u);
    const Parsed id_only = parse("TraceDepth: 0x30");
    EXPECT_EQ(id_only.key, ConfigKey::trace_depth);
    EXPECT_EQ(id_only.depth.context_id, 0x30u);
    EXPECT_EQ(id_only.depth.depth, 0u);
    const Parsed nothing = parse("TraceDepth: 30 5");
    EXPECT_EQ(nothing.key, ConfigKey::trace_depth);
    EXPECT_EQ(nothing.depth.context_id, 0u);
    EXPECT_EQ(nothing.depth.depth, 0u);
    EXPECT_FALSE(nothing.depth.every_context);
}

// "TraceDepth: * N" names every context instead of one id; it is never read
// as a line for id 0.
TEST(ConfigLine, TraceDepthForEveryContext) {
    for (const char* line : {"TraceDepth: * 6", "TraceDepth:*6\r\n", "TraceDepth: *\t6 frames"}) {
        const Parsed every = parse(line);
        EXPECT_EQ(every.key, ConfigKey::trace_depth) << line;
        EXPECT_TRUE(every.depth.every_context) << line;
        EXPECT_EQ(every.depth.depth, 6u) << line;
        EXPECT_EQ(every.depth.context_id, 0u) << line;
    }
    const Parsed no_depth = parse("TraceDepth: * many");
    EXPECT_TRUE(no_depth.depth.every_context);
    EXPECT_EQ(no_depth.depth.depth, 0u);
    EXPECT_FALSE(parse("TraceDepth: 0x* 6").depth.every_context);
}

// "StackWalk: safe" or "frames", a whole word; anything else changes nothing.
TEST(ConfigLine, StackWalkTakesOneOfItsWords) {
    EXPECT_TRUE(parse("StackWalk: safe\n").settings.safe_stack_walk);
    EXPECT_TRUE(parse("StackWalk:safe  # unwind tables").settings.safe_stack_walk);
    for (const char* line : {"StackWalk: safer", "StackWalk: Safe", "StackWalk = safe",
                             " StackWalk: safe", "StackWalk: frames"}) {
        EXPECT_FALSE(parse(line).settings.safe_stack_walk) << line;
    }
    ConfigSettings settings;
    TraceDepthSetting depth;
    BudgetSetting budget;
    parse_config_line("StackWalk: safe", settings, depth, budget);
    EXPECT_EQ(parse_config_line("StackWalk: frames", settings, depth, budget),
              ConfigKey::stack_walk);
    EXPECT_FALSE(settings.safe_stack_walk);
    parse_config_line("StackWalk: safe", settings, depth, budget);
    parse_config_line("StackWalk: fast", settings, depth, budget);
    EXPECT_TRUE(settings.safe_stack_walk);
}

// Read as TraceDepth lines are: hexadecimal id, then soft and hard budgets in
// decimal; what parsed is kept, the rest stays 0. The key comes last in the
// classification order, so no line that named another key changes meaning.
TEST(ConfigLine, BudgetKeepsWhatParsed) {
    const Parsed full = parse("Budget: 0x2000 65536 131072\n");
    EXPECT_EQ(full.key, ConfigKey::budget);
    EXPECT_EQ(full.budget.context_id, 0x2000u);
    EXPECT_EQ(full.budget.soft, 65536u);
    EXPECT_EQ(full.budget.hard, 131072u);
    EXPECT_EQ(full.depth.context_id, 0u);
    const Parsed soft_only = parse("Budget:0x2a\t100");
    EXPECT_EQ(soft_only.budget.context_id, 0x2au);
    EXPECT_EQ(soft_only.budget.soft, 100u);
    EXPECT_EQ(soft_only.budget.hard, 0u);
    const Parsed no_prefix = parse("Budget: 2000 1 2");
    EXPECT_EQ(no_prefix.key, ConfigKey::budget);
    EXPECT_EQ(no_prefix.budget.context_id, 0u);
    EXPECT_EQ(no_prefix.budget.soft, 0u);
    EXPECT_EQ(parse("TraceDepth: 0x10 4 Budget:").key, ConfigKey::trace_depth);
    EXPECT_EQ(parse("Budget: 0x10 4 BackTraceMode: 1").key, ConfigKey::back_trace_mode);
    EXPECT_EQ(parse("Budget 0x10 4 8").key, ConfigKey::ignored);
}

TEST(ConfigLine, LaterLinesOverwriteOnlyWhatTheySet) {
    ConfigSettings settings;
    TraceDepthSetting depth;
    BudgetSetting budget;
    parse_config_line("BackTraceMode: 2", settings, depth, budget);
    parse_config_line("BackTraceMode: junk", settings, depth, budget);
    parse_config_line("BreakMinSize: 8", settings, depth, budget);
    EXPECT_EQ(settings.back_trace_mode, 2);
    parse_config_line("BackTraceMode: 1", settings, depth, budget);
    EXPECT_EQ(settings.back_trace_mode, 1);
    EXPECT_EQ(settings.breakpoint.min_size, 8u);
}

// A Live: line turns the stream on only when its address and port parse: a
// port past 65535 or a short address must not listen somewhere unmeant.
TEST(ConfigLine, LiveTakesAPortAnAddressAndAQueue) {
    const LiveSetting port_only = parse("Live: 9000").settings.live;
    EXPECT_TRUE(port_only.on);
    EXPECT_EQ(port_only.address, 0x7f000001u);
    EXPECT_EQ(port_only.port, 9000u);
    EXPECT_EQ(port_only.queue_mib, 8u);
    const LiveSetting everything = parse("Live: 0.0.0.0:7001 16").settings.live;
    EXPECT_TRUE(everything.on);
    EXPECT_EQ(everything.address, 0u);
    EXPECT_EQ(everything.port, 7001u);
    EXPECT_EQ(everything.queue_mib, 16u);
    EXPECT_EQ(parse("Live: 9000 0").settings.live.queue_mib, 8u);
    for (const char* refused : {"Live: 70000", "Live: 1.2.3:80", "Live: 300.0.0.1:80",
                                "Live: 127.0.0.1 80", "Live: port", "Live 9000"}) {
        EXPECT_FALSE(parse(refused).settings.live.on) << refused;
    }
}
