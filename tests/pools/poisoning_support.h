// What the poisoning tests share: accesses out of line, so that the first
// frame of AddressSanitizer's report names them, the report texts they
// expect, and death tests that re-run the program rather than fork it as it
// stands.
#pragma once

#include <gtest/gtest.h>

#include "tarvex/memory_annotations.h"

#if defined(TARVEX_ASAN)

__attribute__((noinline)) inline void write_byte(void* at) {
    *static_cast<volatile char*>(at) = 1;
}
__attribute__((noinline)) inline char read_byte(const void* at) {
    return *static_cast<const volatile char*>(at);
}

constexpr const char* stray_write = "use-after-poison.*WRITE of size 1.* in [^\n]*write_byte";
constexpr const char* stray_read = "use-after-poison.*READ of size 1.* in [^\n]*read_byte";

class PoisoningDeathTest : public testing::Test {
protected:
    PoisoningDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

#endif
