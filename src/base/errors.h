// Error codes and the log sink. Every message of the library leaves through
// `Tarvex::the_config.log_func`; an error report never changes state and
// always returns to the code that raised it.
#pragma once

#include <stdint.h>

#include "tarvex/config.h"
#include "tarvex/tarvex.h"

namespace tarvex {

enum ErrorCode : uint32_t {
    error_block_exceeds_limits = 0,
    error_invalid_grow_count = 1,
    error_size_mismatch = 2,
    error_unused = 3,
    error_invalid_pointer = 4,
    error_context_mismatch = 5,
    error_duplicate_entry = 6,
    error_context_not_set = 7,
    error_single_thread_misuse = 8,
};

// Hands the code's fixed message and flag to the sink, when there is one,
// and to the log file, when there is one.
void report_error(uint32_t code);

// Formats "Tarvex: <text>\n" into a 1024-byte line and hands it to the sink.
// A text too long for the line is cut; the line still ends with its newline.
void log_message(const char* text);

// Opens (truncating) the file that every line also goes to, whatever the
// sink, closing the one open before; false, and no file, when it cannot be
// opened. Each line is flushed as it is written.
bool log_file_open(const char* path);
void log_file_close();

// The default sink: the system's debug output.
void debug_log(const char* text, bool flag);

// The sink as it stands now. The host may replace it from any thread.
Tarvex::LogFunc current_log_func();
void set_log_func(Tarvex::LogFunc sink);

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Checks
//
// Checked builds (TARVEX_CHECKS, tarvex/config.h): the stated preconditions of the library's
// internal routines become checks that report their text through the log
// sink and stop the process. In every other build a check compiles to
// nothing, so it costs nothing and must have no effect of its own.
// ---------------------------------------------------------------------------

namespace tarvex {

// Reports "Tarvex: CHECK FAILED: <text>" through the log sink (and the
// system's debug output, should the sink be silenced) and aborts.
[[noreturn]] void check_failed(const char* text);

}  // namespace tarvex

#if TARVEX_CONFIG_CHECKS
#define TARVEX_CHECK(condition, text) \
    ((condition) ? static_cast<void>(0) : ::tarvex::check_failed(text))
#else
#define TARVEX_CHECK(condition, text) static_cast<void>(0)
#endif
