// A checked build stops at an internal routine called without its
// precondition, and says which one.
#include <gtest/gtest.h>

#include "registry/registry.h"

#if defined(TARVEX_CHECKS) && TARVEX_CHECKS
TEST(CheckedBuild, ARoutineCalledWithoutTheLibraryLockStopsWithItsText) {
    EXPECT_DEATH(tarvex::find_context(0, false), "Tarvex: CHECK FAILED: the library lock is held");
}
#endif
