// Contexts through the exported interface: creation, lookup, the registry's
// move-to-front order and the null context for unknown ids.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"

namespace {

const char* const not_set = "Tarvex: ERROR: Context not set\n";

std::vector<Tarvex::ContextBase> registry() {
    std::vector<Tarvex::ContextBase> infos(256);
    infos.resize(Tarvex::get_context_info(infos.data(), static_cast<uint32_t>(infos.size())));
    return infos;
}

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (const auto& info : registry()) result.push_back(info.name ? info.name : "<null>");
    return result;
}

}  // namespace

// The same non-zero id twice: one context; the second record is ignored and
// the context moves to the head.
TEST(ContextInit, SameNonZeroIdCreatesOneContext) {
    Tarvex::ContextBase first("Sound", 0x5001);
    first.size_hint = 77;
    Tarvex::context_init(first);
    Tarvex::context_init(Tarvex::ContextBase("Init Data Lookup", 0x8f2dbb89u));
    const size_t before = registry().size();

    Tarvex::ContextBase second("Other name", 0x5001);
    second.size_hint = 99;
    Tarvex::context_init(second);

    const auto after = registry();
    ASSERT_EQ(after.size(), before);
    EXPECT_STREQ(after[0].name, "Sound");
    EXPECT_EQ(after[0].size_hint, 77u);
}

// Id 0 is always created anew; lookups of 0 then find the newer context.
TEST(ContextInit, IdZeroAlwaysCreatesANewContext) {
    const size_t before = registry().size();
    Tarvex::context_init(Tarvex::ContextBase("Zero A", 0));
    Tarvex::context_init(Tarvex::ContextBase("Zero B", 0));
    const auto after = registry();
    ASSERT_EQ(after.size(), before + 2);
    EXPECT_STREQ(after[0].name, "Zero B");
    EXPECT_STREQ(after[1].name, "Zero A");

    // Push the cache away from id 0, then a lookup of 0 finds the head.
    Tarvex::std_free(Tarvex::std_alloc(8, 0x8f2dbb89u), 0x8f2dbb89u);
    void* block = Tarvex::std_alloc(8, 0);
    EXPECT_NE(block, nullptr);
    EXPECT_STREQ(registry()[0].name, "Zero B");
    Tarvex::std_free(block, 0);
}

// A lookup moves the context to the head; the description is copied out
// with its name owned by the library.
TEST(ContextInit, LookupMovesToFrontAndInfoCopiesDescriptions) {
    Tarvex::context_init(Tarvex::ContextBase("Looked up", 0x5007));
    char name[] = "Temporary name";
    Tarvex::ContextBase base(name, 0x5002);
    base.flags = 6;
    base.reserved = &base;
    base.trace_depth = 5;
    Tarvex::context_init(base);
    name[0] = 'X';

    // The first call with the id looks it up; the cache serves the next.
    Tarvex::std_free(Tarvex::std_alloc(4, 0x5007), 0x5007);
    EXPECT_EQ(names()[0], "Looked up");

    Tarvex::set_context_trace_depth(0x5002, 9);
    const auto infos = registry();
    EXPECT_STREQ(infos[0].name, "Temporary name");
    EXPECT_NE(infos[0].name, name);
    EXPECT_EQ(infos[0].flags, 6);
    EXPECT_EQ(infos[0].reserved, &base);
    EXPECT_EQ(infos[0].trace_depth, 9u);
    EXPECT_EQ(infos[0].type, Tarvex::StdMalloc);

    Tarvex::set_context_trace_depth(0x7777777, 3);  // unknown: ignored, silent

    Tarvex::ContextBase none[1];
    EXPECT_EQ(Tarvex::get_context_info(none, 0), 0u);
    EXPECT_EQ(Tarvex::get_context_info(nullptr, 0), 0u);
}

// Built-in names are kept by pointer; equal text elsewhere is copied; null
// and empty names become "".
TEST(ContextInit, NamesAreCopiedUnlessBuiltIn) {
    Tarvex::context_init(Tarvex::ContextBase(nullptr, 0x5003));
    EXPECT_STREQ(registry()[0].name, "");
    Tarvex::context_init(Tarvex::ContextBase("", 0x5004));
    EXPECT_STREQ(registry()[0].name, "");
    const char* global_name = nullptr;
    for (const auto& info : registry()) {
        if (info.id == 0 && std::string(info.name) == "Global Context") global_name = info.name;
    }
    ASSERT_NE(global_name, nullptr);
    Tarvex::context_init(Tarvex::ContextBase(global_name, 0x5005));
    EXPECT_EQ(registry()[0].name, global_name);
}

// An unknown id reports error 7 on every call and is served by the null
// context; other ids are not disturbed.
TEST(UnknownContext, ServedByNullContextWithOneErrorPerCall) {
    LogCapture log;
    const uint32_t unknown = 0x0badc0de;
    EXPECT_EQ(Tarvex::std_alloc(16, unknown), nullptr);
    EXPECT_EQ(Tarvex::fast_alloc(16, unknown), nullptr);
    EXPECT_EQ(Tarvex::aligned_alloc(16, 16, unknown), nullptr);
    int local = 0;
    EXPECT_EQ(Tarvex::std_size(&local, unknown), 0u);
    Tarvex::std_free(&local, unknown);
    Tarvex::fast_free(&local, 4, unknown);
    EXPECT_EQ(log.count(not_set), 6u);
    for (const auto& line : log.take()) EXPECT_TRUE(line.second);

    void* block = Tarvex::std_alloc(32, 0);
    EXPECT_NE(block, nullptr);
    Tarvex::std_free(block, 0);
    EXPECT_TRUE(log.take().empty());

    for (const auto& info : registry()) EXPECT_NE(info.id, unknown);
}

// Null releases return before any lookup: no error even for unknown ids.
// A null output array with room claimed for records gets none written.
TEST(ContextInit, NullOutputArraysCopyNothing) {
    EXPECT_EQ(Tarvex::get_context_info(nullptr, 8), 0u);
    EXPECT_EQ(Tarvex::get_counter_info(nullptr, 8), 0u);
}

TEST(UnknownContext, NullReleasesReturnFirst) {
    LogCapture log;
    Tarvex::std_free(nullptr, 0x0badc0de);
    Tarvex::fast_free(nullptr, 8, 0x0badc0de);
    Tarvex::aligned_free(nullptr, 0x0badc0de);
    EXPECT_EQ(Tarvex::std_size(nullptr, 0x0badc0de), 0u);
    EXPECT_TRUE(log.take().empty());
}

// Without tracking, the tracking and counter slots do nothing.
TEST(Dispatch, TrackingSlotsAreEmptyWithoutTracking) {
    int local = 0;
    Tarvex::mem_track_add(0, &local, 4, "info");
    Tarvex::mem_track_set_info(0, &local, "info");
    Tarvex::mem_track_remove(0, &local);
    Tarvex::dbg_fill(&local, sizeof(local));
    EXPECT_EQ(local, 0);
    EXPECT_EQ(Tarvex::inc_counter("x", 5), 0u);
    EXPECT_EQ(Tarvex::get_counter("x", 7), 0u);
}

// A second init only counts; a shutdown that does not reach 0 tears nothing
// down.
TEST(Lifecycle, NestedInitAndShutdownOnlyCount) {
    Tarvex::context_init(Tarvex::ContextBase("Survivor", 0x5006));
    Tarvex::init();
    Tarvex::shutdown();
    bool found = false;
    for (const auto& info : registry())
        found |= info.id == 0x5006 && std::string(info.name) == "Survivor";
    EXPECT_TRUE(found);
    void* block = Tarvex::std_alloc(10, 0x5006);
    EXPECT_NE(block, nullptr);
    Tarvex::std_free(block, 0x5006);
}
