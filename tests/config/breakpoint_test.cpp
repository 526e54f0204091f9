// The break point's accessors and its matching rules, on hand-made entries.
#include "config/breakpoint.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/library_state.h"
#include "tracking/tracking_entries.h"

using namespace tarvex;

namespace {

std::vector<uint32_t>& breaks() {
    static std::vector<uint32_t> seen;
    return seen;
}

void record_break(const MemTrackEntry* entry) {
    breaks().push_back(entry->alloc_id);
}

MemTrackEntry entry(uint32_t alloc_id, uint32_t context_id, uint32_t size) {
    MemTrackEntry made = {};
    made.context_id = context_id;
    made.size = size;
    made.alloc_id = alloc_id;
    made.info = "";
    return made;
}

// The alloc_ids among the probes that call break_func under `breakpoint`.
std::vector<uint32_t> matches(const MemTypeDefs::BreakPoint& breakpoint,
                              const std::vector<MemTrackEntry>& probes) {
    Tarvex::set_breakpoint(breakpoint);
    breaks().clear();
    Tarvex::the_config.break_func = record_break;
    {
        LockHolder hold(library_lock());
        for (const MemTrackEntry& probe : probes) check_breakpoint(probe);
    }
    Tarvex::the_config.break_func = nullptr;
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    return breaks();
}

using Ids = std::vector<uint32_t>;

}  // namespace

TEST(BreakPoint, SetAndGetRoundTripAndArming) {
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{1, 2, 3, 4});
    const MemTypeDefs::BreakPoint got = Tarvex::get_breakpoint();
    EXPECT_EQ(got.alloc_id, 1u);
    EXPECT_EQ(got.context_id, 2u);
    EXPECT_EQ(got.min_size, 3u);
    EXPECT_EQ(got.max_size, 4u);
    EXPECT_TRUE(breakpoint_armed);
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 9});
    EXPECT_TRUE(breakpoint_armed);
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    EXPECT_FALSE(breakpoint_armed);
    const MemTypeDefs::BreakPoint cleared = Tarvex::get_breakpoint();
    EXPECT_EQ(cleared.alloc_id | cleared.context_id | cleared.min_size | cleared.max_size, 0u);
}

TEST(BreakPoint, MatchingRules) {
    const std::vector<MemTrackEntry> probes = {
        entry(1, 0x10, 99),  entry(2, 0x10, 100), entry(3, 0x20, 150),
        entry(4, 0x20, 200), entry(5, 0x10, 201), entry(6, 0x30, 0),
    };
    // Disarmed: nothing fires.
    EXPECT_EQ(matches({0, 0, 0, 0}, probes), Ids{});
    EXPECT_EQ(matches({3, 0, 0, 0}, probes), Ids{3});
    EXPECT_EQ(matches({0, 0x10, 0, 0}, probes), (Ids{1, 2, 5}));
    // min_size alone is an exact size.
    EXPECT_EQ(matches({0, 0, 100, 0}, probes), Ids{2});
    // min_size and max_size bound an inclusive range.
    EXPECT_EQ(matches({0, 0, 100, 200}, probes), (Ids{2, 3, 4}));
    // max_size without min_size tests no size at all.
    EXPECT_EQ(matches({0, 0, 0, 200}, probes), (Ids{1, 2, 3, 4, 5, 6}));
    // Every set field must match.
    EXPECT_EQ(matches({0, 0x20, 100, 200}, probes), (Ids{3, 4}));
    EXPECT_EQ(matches({4, 0x10, 0, 0}, probes), Ids{});
}

TEST(BreakPoint, WithoutBreakFuncAMatchDoesNothing) {
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0x10, 0, 0});
    Tarvex::the_config.break_func = nullptr;
    {
        LockHolder hold(library_lock());
        check_breakpoint(entry(1, 0x10, 8));
    }
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
}

TEST(Checkpoint, IsTheNextAllocationId) {
    uint32_t next;
    {
        LockHolder hold(library_lock());
        next = peek_next_alloc_id();
    }
    EXPECT_EQ(Tarvex::get_checkpoint(), next);
    {
        LockHolder hold(library_lock());
        take_next_alloc_id();
    }
    EXPECT_EQ(Tarvex::get_checkpoint(), next + 1);
}
