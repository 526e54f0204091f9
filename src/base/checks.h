// Checked builds (TARVEX_CHECKS): the stated preconditions of the library's
// internal routines become checks that report their text through the log
// sink and stop the process. In every other build a check compiles to
// nothing, so it costs nothing and must have no effect of its own.
#pragma once

namespace tarvex {

// Reports "Tarvex: CHECK FAILED: <text>" through the log sink (and the
// system's debug output, should the sink be silenced) and aborts.
[[noreturn]] void check_failed(const char* text);

}  // namespace tarvex

#if defined(TARVEX_CHECKS) && TARVEX_CHECKS
#define TARVEX_CHECK(condition, text) \
    ((condition) ? static_cast<void>(0) : ::tarvex::check_failed(text))
#else
#define TARVEX_CHECK(condition, text) static_cast<void>(0)
#endif
