// A checked build stops at an internal routine called without its
// precondition, and says which one.
#include <gtest/gtest.h>

#include "debughelp/symbol_lookup.h"
#include "registry/registry.h"
#include "tarvex/config.h"

#if TARVEX_CONFIG_CHECKS
TEST(CheckedBuild, ARoutineCalledWithoutItsLockStopsWithItsText) {
    EXPECT_DEATH(tarvex::find_context(0, false), "Tarvex: CHECK FAILED: the library lock is held");
    EXPECT_DEATH(tarvex::lookup_frame(
                     0x1000, [](const tarvex::ResolvedFrame&, void*) {}, nullptr),
                 "Tarvex: CHECK FAILED: the binding lock is held");
}
#endif
