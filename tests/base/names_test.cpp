// Name copies and context creation when the runtime heap has nothing left.
#include <gtest/gtest.h>

#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "contexts/mem_context.h"
#include "registry/registry.h"
#include "support/failing_heap.h"
#include "tarvex/tarvex.h"

using namespace tarvex;

namespace {
uint32_t registry_size() {
    Tarvex::ContextBase infos[128];
    return Tarvex::get_context_info(infos, 128);
}
}  // namespace

TEST(CopyName, StaticNamesByPointerOthersCopied) {
    Tarvex::init();
    EXPECT_EQ(copy_name(nullptr), static_names[empty_name]);
    EXPECT_EQ(copy_name(""), static_names[empty_name]);
    EXPECT_EQ(copy_name(static_names[library_name]), static_names[library_name]);
    char text[] = "Tarvex";
    const char* copy = copy_name(text);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, "Tarvex");
    release_name(copy);
    release_name(static_names[global_name]);
    Tarvex::shutdown();
}

// Without storage for the copy, the name falls back to "".
TEST(CopyName, NoStorageGivesTheEmptyName) {
    Tarvex::init();
    fail_next_mallocs(1);
    EXPECT_EQ(copy_name("Needs a copy"), static_names[empty_name]);
    Tarvex::shutdown();
}

// Without storage for the context object, nothing is created or linked.
TEST(MakeContext, NoStorageCreatesNothing) {
    Tarvex::init();
    const uint32_t before = registry_size();
    fail_next_mallocs(1);
    Tarvex::context_init(Tarvex::ContextBase("Never made", 0x7001));
    EXPECT_EQ(registry_size(), before);
    {
        LockHolder hold(library_lock());
        EXPECT_EQ(find_context(0x7001, false), nullptr);
    }
    Tarvex::shutdown();
}

// After shutdown every field of the description reads 0; the name copy
// goes back.
TEST(MemContextLifecycle, ShutdownZeroesTheDescription) {
    Tarvex::init();
    StdMallocContext context;
    Tarvex::ContextBase base("Zeroed", 0x7002);
    base.size_hint = 10;
    base.trace_depth = 3;
    context.init(base);
    EXPECT_STREQ(context.name, "Zeroed");
    context.shutdown();
    EXPECT_EQ(context.name, nullptr);
    EXPECT_EQ(context.id, 0u);
    EXPECT_EQ(context.flags, 0);
    EXPECT_EQ(context.size_hint, 0u);
    EXPECT_EQ(context.trace_depth, 0u);
    Tarvex::shutdown();
}
