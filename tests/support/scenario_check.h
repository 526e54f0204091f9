// Checks for whole-process scenario hosts: each failed check prints where it
// failed, and the host's exit code tells the runner whether any did.
#pragma once

#include <cstdio>
#include <cstring>

inline int& scenario_failures() {
    static int failures = 0;
    return failures;
}

#define SCENARIO_CHECK(condition)                                                     \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++scenario_failures();                                                    \
        }                                                                             \
    } while (0)

#define SCENARIO_CHECK_STR(actual, expected) \
    SCENARIO_CHECK((actual) != nullptr && std::strcmp((actual), (expected)) == 0)

inline int scenario_result() {
    std::printf(scenario_failures() == 0 ? "scenario passed\n" : "scenario failed\n");
    std::fflush(stdout);
    return scenario_failures() == 0 ? 0 : 1;
}
