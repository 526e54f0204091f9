// The C interface against the C++ one it calls, through the shared library:
// the C sinks get exactly what the C++ sinks would, the records come out as
// their C++ counterparts, and pool handles live in the library's own context.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pools/recording_dispatch.h"
#include "support/log_capture.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace {

constexpr uint32_t unknown_context = 0x7fff0002u;

using Lines = std::vector<std::pair<std::string, int>>;

Lines& c_lines() {
    static Lines lines;
    return lines;
}

void TARVEX_CDECL c_sink(const char* text, int flag) {
    c_lines().emplace_back(text, flag);
}

void TARVEX_CDECL c_break(const tarvex_track_entry*) {}

// Puts back whatever sink the test found.
class SinkRestore {
public:
    SinkRestore() : saved_(Tarvex::the_config) { c_lines().clear(); }
    ~SinkRestore() { Tarvex::the_config = saved_; }

private:
    Tarvex::Config saved_;
};

// An error (code 7, flag true) and two plain messages (flag false).
void raise_messages() {
    static char block[8];
    EXPECT_EQ(tarvex_std_size(block, unknown_context), 0u);
    tarvex_dump_stack_trace();
}

}  // namespace

TEST(CInterfaceLog, CSinkGetsExactlyWhatTheCppSinkGets) {
    SinkRestore restore;
    Lines expected;
    {
        LogCapture capture;
        raise_messages();
        for (const auto& line : capture.take()) expected.emplace_back(line.first, line.second);
    }
    ASSERT_GE(expected.size(), 3u);
    EXPECT_EQ(expected[0], (std::pair<std::string, int>("Tarvex: ERROR: Context not set\n", 1)));
    EXPECT_EQ(expected[1].second, 0);

    tarvex_set_log_func(c_sink);
    raise_messages();
    EXPECT_EQ(c_lines(), expected);
}

TEST(CInterfaceLog, NullSilencesAndACppSinkSetLaterTakesOver) {
    SinkRestore restore;
    tarvex_set_log_func(c_sink);
    EXPECT_NE(Tarvex::the_config.log_func, nullptr);

    // A C++ sink stored later replaces the C one.
    {
        LogCapture capture;
        raise_messages();
        EXPECT_TRUE(c_lines().empty());
        EXPECT_EQ(capture.count("Tarvex: ERROR: Context not set\n"), 1u);
    }

    // Setting the C sink again takes over from the C++ one.
    {
        LogCapture capture;
        tarvex_set_log_func(c_sink);
        raise_messages();
        EXPECT_TRUE(capture.take().empty());
        ASSERT_FALSE(c_lines().empty());
        EXPECT_EQ(c_lines()[0].first, "Tarvex: ERROR: Context not set\n");
    }

    // Null silences every sink: the_config holds null, as after
    // `the_config.log_func = nullptr`.
    tarvex_set_log_func(nullptr);
    EXPECT_EQ(Tarvex::the_config.log_func, nullptr);
    c_lines().clear();
    raise_messages();
    EXPECT_TRUE(c_lines().empty());
}

TEST(CInterfaceBreak, SetsAndClearsTheBreakFunction) {
    SinkRestore restore;
    tarvex_set_break_func(c_break);
    EXPECT_NE(Tarvex::the_config.break_func, nullptr);
    tarvex_set_break_func(nullptr);
    EXPECT_EQ(Tarvex::the_config.break_func, nullptr);
}

TEST(CInterfaceRecords, ContextDescDefaultsAreTheConstructors) {
    const char* name = "C defaults";
    tarvex_context_desc desc;
    std::memset(&desc, 0xab, sizeof(desc));
    tarvex_context_desc_init(&desc, name, 0x7310u, TARVEX_GROW_ONLY);
    const Tarvex::ContextBase base(name, 0x7310u, Tarvex::GrowOnly);
    EXPECT_EQ(desc.name, base.name);
    EXPECT_EQ(desc.reserved, base.reserved);
    EXPECT_EQ(desc.type, base.type);
    EXPECT_EQ(desc.flags, base.flags);
    EXPECT_EQ(desc.size_hint, base.size_hint);
    EXPECT_EQ(desc.usage, base.usage);
    EXPECT_EQ(desc.usage_peak, base.usage_peak);
    EXPECT_EQ(desc.fragments, base.fragments);
    EXPECT_EQ(desc.fragments_peak, base.fragments_peak);
    EXPECT_EQ(desc.trace_depth, base.trace_depth);
    EXPECT_EQ(desc.id, base.id);
    tarvex_context_desc_init(nullptr, "ignored", 1, TARVEX_STD_MALLOC);
}

TEST(CInterfaceRecords, ContextInfoMatchesTheCppListing) {
    tarvex_context_desc desc;
    tarvex_context_desc_init(&desc, "C listed", 0x7311u, TARVEX_SMALL_BLK_LIST);
    desc.trace_depth = 5;
    tarvex_context_init(&desc);
    tarvex_context_init(nullptr);

    Tarvex::ContextBase cpp[32];
    tarvex_context_desc c[32];
    const uint32_t cpp_count = Tarvex::get_context_info(cpp, 32);
    const uint32_t c_count = tarvex_get_context_info(c, 32);
    ASSERT_EQ(c_count, cpp_count);
    for (uint32_t i = 0; i < c_count; ++i) {
        EXPECT_EQ(std::memcmp(&c[i], static_cast<const void*>(&cpp[i]), sizeof(c[i])), 0) << i;
    }
    const tarvex_context_desc* listed = nullptr;
    for (uint32_t i = 0; i < c_count; ++i) {
        if (c[i].id == 0x7311u) listed = &c[i];
    }
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(listed->name, "C listed");
    EXPECT_NE(listed->name, desc.name);  // the library's own copy
    EXPECT_EQ(listed->type, TARVEX_SMALL_BLK_LIST);
    EXPECT_EQ(listed->flags, TARVEX_MULTI_THREADED);
    EXPECT_EQ(listed->trace_depth, 5u);
}

TEST(CInterfaceRecords, BreakpointRoundTrip) {
    const tarvex_breakpoint set = {7, 0x7312u, 16, 32};
    tarvex_set_breakpoint(&set);
    const MemTypeDefs::BreakPoint cpp = Tarvex::get_breakpoint();
    EXPECT_EQ(cpp.alloc_id, 7u);
    EXPECT_EQ(cpp.context_id, 0x7312u);
    EXPECT_EQ(cpp.min_size, 16u);
    EXPECT_EQ(cpp.max_size, 32u);

    tarvex_breakpoint got = {0, 0, 0, 0};
    tarvex_get_breakpoint(&got);
    EXPECT_EQ(std::memcmp(&got, &set, sizeof(got)), 0);

    // Null does nothing; all zeros disarm.
    tarvex_set_breakpoint(nullptr);
    tarvex_get_breakpoint(nullptr);
    tarvex_get_breakpoint(&got);
    EXPECT_EQ(got.alloc_id, 7u);
    const tarvex_breakpoint clear = {0, 0, 0, 0};
    tarvex_set_breakpoint(&clear);
    EXPECT_EQ(Tarvex::get_breakpoint().context_id, 0u);
}

TEST(CInterfacePools, HandlesLiveInTheLibrarysOwnContext) {
    constexpr uint32_t blocks_from = tarvex_ids::global_context;
    RecordingDispatch library(tarvex_ids::library_context);

    tarvex_fragment_pool* fragments = tarvex_fragment_pool_create(0, 16, 8, 4, blocks_from);
    tarvex_grow_only_pool* arena = tarvex_grow_only_pool_create(256, blocks_from);
    char buffer[32];
    tarvex_grow_only_pool* buffered =
        tarvex_grow_only_pool_create_with_buffer(buffer, sizeof(buffer), 256, blocks_from);
    tarvex_string_pool* strings = tarvex_string_pool_create(0, 1024, blocks_from);
    ASSERT_NE(fragments, nullptr);
    ASSERT_NE(arena, nullptr);
    ASSERT_NE(buffered, nullptr);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(library.alloc_sizes(),
              (std::vector<uint32_t>{sizeof(FragmentPool), sizeof(GrowOnlyPool),
                                     sizeof(GrowOnlyPool), sizeof(StaticStringPool)}));

    // The pools' blocks come from the context named at creation.
    EXPECT_NE(tarvex_fragment_pool_alloc(fragments), nullptr);
    EXPECT_NE(tarvex_grow_only_pool_alloc(arena, 10), nullptr);
    EXPECT_EQ(tarvex_grow_only_pool_alloc(buffered, 10), static_cast<void*>(buffer));
    EXPECT_STREQ(tarvex_string_pool_add(strings, "text"), "text");
    EXPECT_TRUE(library.take().empty());

    tarvex_fragment_pool_destroy(fragments);
    tarvex_grow_only_pool_destroy(arena);
    tarvex_grow_only_pool_destroy(buffered);
    tarvex_string_pool_destroy(strings);
    const std::vector<BlockCall> released = library.take();
    ASSERT_EQ(released.size(), 4u);
    EXPECT_EQ(released[0].block, static_cast<const void*>(fragments));
    EXPECT_EQ(released[1].block, static_cast<const void*>(arena));
    EXPECT_EQ(released[2].block, static_cast<const void*>(buffered));
    EXPECT_EQ(released[3].block, static_cast<const void*>(strings));
    for (const BlockCall& call : released) EXPECT_FALSE(call.is_alloc);
}

TEST(CInterfacePools, NoStorageGivesNullHandles) {
    RecordingDispatch library(tarvex_ids::library_context);
    library.fail_requests(true);
    EXPECT_EQ(tarvex_fragment_pool_create(0, 16, 8, 4, 0), nullptr);
    EXPECT_EQ(tarvex_grow_only_pool_create(256, 0), nullptr);
    EXPECT_EQ(tarvex_grow_only_pool_create_with_buffer(nullptr, 0, 256, 0), nullptr);
    EXPECT_EQ(tarvex_string_pool_create(0, 1024, 0), nullptr);
}

TEST(CInterfaceAllocation, CallsReachTheDispatchTable) {
    void* block = tarvex_std_alloc(40, tarvex_ids::global_context);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(tarvex_std_size(block, tarvex_ids::global_context), 40u);
    void* moved = tarvex_std_realloc(block, 400, tarvex_ids::global_context);
    ASSERT_NE(moved, nullptr);
    tarvex_std_free(moved, tarvex_ids::global_context);

    void* aligned = tarvex_aligned_alloc(24, 32, tarvex_ids::global_context);
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 32, 0u);
    tarvex_aligned_free(aligned, tarvex_ids::global_context);

    void* fast = tarvex_fast_alloc(12, tarvex_ids::global_context);
    ASSERT_NE(fast, nullptr);
    tarvex_fast_free(fast, 12, tarvex_ids::global_context);

    // Tracking is off here: the tracking operations and counters do nothing.
    EXPECT_EQ(tarvex_inc_counter("c counter", 3), 0u);
    EXPECT_EQ(tarvex_get_counter("c counter"), 0u);
    tarvex_counter counters[2];
    EXPECT_EQ(tarvex_get_counter_info(counters, 2), 0u);
    EXPECT_EQ(tarvex_get_checkpoint(), Tarvex::get_checkpoint());
#if !defined(_WIN32)
    EXPECT_EQ(tarvex_mini_dump(nullptr, "never.dmp"), 0);
#endif
}
