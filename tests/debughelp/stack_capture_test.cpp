// Stack capture and symbol lookup on a chain of known functions, the frame
// cache and the requests that fill it, and the counted start and stop of the
// binding.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "debughelp/debug_help.h"
#include "debughelp/frame_cache.h"
#include "debughelp/symbol_lookup.h"

using namespace tarvex;

// The chain: global functions (so the dynamic linker exports their names),
// never inlined, each with work after its call so that no call becomes a
// jump. The calls whose return addresses the tests resolve sit on the lines
// named by the constants below.
volatile uint32_t chain_sink = 0;
// Whether the chain's last walk was cut.
bool chain_cut = false;

__attribute__((noinline)) uint32_t capture_chain_inner(uint32_t limit, uintptr_t* frames) {
    StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    const uint32_t stored = capture_stack(start, limit, frames, &chain_cut);
    chain_sink = stored;
    return stored;
}

const uint32_t middle_call_line = __LINE__ + 3;
__attribute__((noinline)) uint32_t capture_chain_middle(uint32_t limit, uintptr_t* frames) {
    chain_sink = limit;
    const uint32_t stored = capture_chain_inner(limit, frames);
    chain_sink = stored + 1;
    return stored;
}

const uint32_t outer_call_line = __LINE__ + 3;
__attribute__((noinline)) uint32_t capture_chain_outer(uint32_t limit, uintptr_t* frames) {
    chain_sink = limit;
    const uint32_t stored = capture_chain_middle(limit, frames);
    chain_sink = stored + 2;
    return stored;
}

// `levels` more frames below the chain, from two functions that call each
// other: a walk through dbghelp ends where a frame's return address equals
// the next one's, which a function calling itself from one spot produces.
uint32_t capture_chain_deep_odd(uint32_t levels, uint32_t limit, uintptr_t* frames);

__attribute__((noinline)) uint32_t capture_chain_deep(uint32_t levels, uint32_t limit,
                                                      uintptr_t* frames) {
    const uint32_t stored = levels == 0 ? capture_chain_outer(limit, frames)
                                        : capture_chain_deep_odd(levels - 1, limit, frames);
    chain_sink = stored + levels;
    return stored;
}

__attribute__((noinline)) uint32_t capture_chain_deep_odd(uint32_t levels, uint32_t limit,
                                                          uintptr_t* frames) {
    const uint32_t stored = capture_chain_deep(levels, limit, frames);
    chain_sink = stored + levels;
    return stored;
}

namespace {

constexpr uintptr_t untouched = 0x5a5a5a5a;

struct Binding {
    Binding() { start_debug_help(); }
    ~Binding() { stop_debug_help(); }
};

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(StackCapture, WithoutBindingNothingIsStoredOrTouched) {
    ASSERT_FALSE(debug_help_live());
    uintptr_t frames[8];
    for (uintptr_t& f : frames) f = untouched;
    EXPECT_EQ(capture_chain_outer(8, frames), 0u);
    for (uintptr_t f : frames) EXPECT_EQ(f, untouched);
}

TEST(StackCapture, StoresTheLimitInnermostFirstAndZeroesTheRest) {
    Binding binding;
    ASSERT_TRUE(debug_help_live());
    uintptr_t frames[130];

    // Limit 0 stores nothing and touches nothing.
    for (uintptr_t& f : frames) f = untouched;
    EXPECT_EQ(capture_chain_outer(0, frames), 0u);
    EXPECT_EQ(frames[0], untouched);

    // The whole stack above the chain, then a limit that cuts it.
    for (uintptr_t& f : frames) f = untouched;
    const uint32_t total = capture_chain_outer(128, frames);
    ASSERT_GE(total, 3u);
    ASSERT_LT(total, 128u);
    for (uint32_t i = 0; i < total; ++i) EXPECT_NE(frames[i], 0u) << i;
    for (uint32_t i = total; i < 128; ++i) EXPECT_EQ(frames[i], 0u) << i;
    EXPECT_EQ(frames[128], untouched);
    const uintptr_t middle_return = frames[0];
    const uintptr_t outer_return = frames[1];

    for (const uint32_t limit : {4u, 16u}) {
        for (uintptr_t& f : frames) f = untouched;
        const uint32_t stored = capture_chain_outer(limit, frames);
        EXPECT_EQ(stored, total < limit ? total : limit) << limit;
        EXPECT_EQ(frames[0], middle_return);
        EXPECT_EQ(frames[1], outer_return);
        for (uint32_t i = stored; i < limit; ++i) EXPECT_EQ(frames[i], 0u) << i;
        EXPECT_EQ(frames[limit], untouched) << limit;
    }

    // Twenty frames of the test's own below the chain fill any limit of 16.
    for (uintptr_t& f : frames) f = untouched;
    EXPECT_EQ(capture_chain_deep(20, 16, frames), 16u);
    EXPECT_EQ(frames[16], untouched);
    const ResolvedFrame* deep = resolve_frame(frames[15]);
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(std::string(deep->function).find("capture_chain_deep"), std::string::npos);
    drop_frame_cache();
}

// A walk that fills its limit was not cut, and on POSIX, where the C runtime
// marks the first frame of the process and of each thread as having no
// caller, neither was one that reached it: only a frame whose caller cannot
// be found cuts a stack (check_walk.cmake and the report tool's tests show
// one that does).
TEST(StackCapture, AWalkThatReachesTheLimitOrTheFirstFrameIsNotCut) {
    Binding binding;
    uintptr_t frames[128];
    chain_cut = true;
    EXPECT_EQ(capture_chain_deep(20, 16, frames), 16u);
    EXPECT_FALSE(chain_cut);
#if !defined(_WIN32)
    chain_cut = true;
    EXPECT_LT(capture_chain_outer(128, frames), 128u);
    EXPECT_FALSE(chain_cut);
    uint32_t stored = 0;
    bool cut = true;
    std::thread([&] {
        stored = capture_chain_outer(128, frames);
        cut = chain_cut;
    }).join();
    EXPECT_GE(stored, 3u);
    EXPECT_LT(stored, 128u);
    EXPECT_FALSE(cut);
#endif
}

TEST(StackCapture, ResolvesFunctionModuleSourceAndLine) {
    Binding binding;
    uintptr_t frames[4];
    ASSERT_EQ(capture_chain_outer(4, frames), 4u);

    const ResolvedFrame* middle = resolve_frame(frames[0]);
    const ResolvedFrame* outer = resolve_frame(frames[1]);
    ASSERT_NE(middle, nullptr);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(middle->address, frames[0]);
    EXPECT_NE(std::string(middle->function).find("capture_chain_middle"), std::string::npos)
        << middle->function;
    EXPECT_NE(std::string(outer->function).find("capture_chain_outer"), std::string::npos)
        << outer->function;
    EXPECT_NE(std::string(middle->module).find("tarvex_debughelp_tests"), std::string::npos)
        << middle->module;

#if !defined(_WIN32)
    // Lines on POSIX come from libdw, when the system has it.
    if (!line_info_available()) {
        std::printf("libdw.so.1 is not available: source lines are not checked\n");
        drop_frame_cache();
        return;
    }
#endif
    EXPECT_TRUE(ends_with(middle->source, "stack_capture_test.cpp")) << middle->source;
    // A frame names the line of its call, not the line its return address
    // falls on; the record keeps the return address itself.
    EXPECT_EQ(middle->line, middle_call_line);
    EXPECT_EQ(outer->line, outer_call_line);
    drop_frame_cache();
}

TEST(StackCapture, FrameCacheLooksEachAddressUpOnceUntilDropped) {
    Binding binding;
    uintptr_t frames[2];
    ASSERT_EQ(capture_chain_outer(2, frames), 2u);
    EXPECT_EQ(resolve_frame(0), nullptr);

    const uint32_t before = frame_lookup_count();
    const ResolvedFrame* first = resolve_frame(frames[0]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(resolve_frame(frames[0]), first);
    EXPECT_EQ(frame_lookup_count(), before + 1);
    const std::string name = first->function;

    drop_frame_cache();
    const ResolvedFrame* again = resolve_frame(frames[0]);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(frame_lookup_count(), before + 2);
    EXPECT_EQ(again->function, name);

    // An address no module contains resolves to empty texts, and is cached
    // like any other.
    const ResolvedFrame* nowhere = resolve_frame(16);
    ASSERT_NE(nowhere, nullptr);
    EXPECT_STREQ(nowhere->function, "");
    EXPECT_STREQ(nowhere->source, "");
    EXPECT_STREQ(nowhere->module, "");
    EXPECT_EQ(nowhere->line, 0u);
    EXPECT_EQ(resolve_frame(16), nowhere);
    drop_frame_cache();
}

TEST(StackCapture, ADropWaitsForTheLastPinAndARequestLooksEachAddressUpOnce) {
    Binding binding;
    uintptr_t frames[3];
    ASSERT_EQ(capture_chain_outer(3, frames), 3u);
    const uint32_t before = frame_lookup_count();
    {
        FramePin pin;
        FrameRequest request;
        // Many repeats of a few addresses, more than the request first has
        // room for.
        for (int i = 0; i < 1000; ++i) request.add(&frames[i % 3], 1);
        const uintptr_t none = 0;
        request.add(&none, 1);
        request.resolve();
        EXPECT_TRUE(request.empty());
        EXPECT_EQ(frame_lookup_count(), before + 3);
        request.add(frames, 3);
        EXPECT_TRUE(request.empty());

        const ResolvedFrame* middle = cached_frame(frames[0]);
        ASSERT_NE(middle, nullptr);
        drop_frame_cache();
        EXPECT_EQ(cached_frame(frames[0]), middle);
        EXPECT_NE(std::string(middle->function).find("capture_chain_middle"), std::string::npos);
    }
    // The last pin gone, so is the cache; an address it does not know
    // comes out with empty texts.
    EXPECT_EQ(cached_frame(frames[0]), nullptr);
    ResolvedFrame unknown;
    known_frames(frames, 1, &unknown);
    EXPECT_EQ(unknown.address, frames[0]);
    EXPECT_STREQ(unknown.function, "");
    EXPECT_STREQ(unknown.source, "");
    EXPECT_STREQ(unknown.module, "");
    EXPECT_EQ(unknown.line, 0u);
}

TEST(StackCapture, StartsAndStopsAreCounted) {
    EXPECT_FALSE(debug_help_live());
    start_debug_help();
    start_debug_help();
    stop_debug_help();
    EXPECT_TRUE(debug_help_live());
    uintptr_t frames[2];
    EXPECT_EQ(capture_chain_outer(2, frames), 2u);
    stop_debug_help();
    EXPECT_FALSE(debug_help_live());
    for (uintptr_t& f : frames) f = untouched;
    EXPECT_EQ(capture_chain_outer(2, frames), 0u);
    EXPECT_EQ(frames[0], untouched);
}
