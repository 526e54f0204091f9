// Error codes and the log sink. Every message of the library leaves through
// `Tarvex::the_config.log_func`; an error report never changes state and
// always returns to the code that raised it.
#pragma once

#include <stdint.h>

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

// Hands the code's fixed message and flag to the sink, when there is one.
void report_error(uint32_t code);

// Formats "Tarvex: <text>\n" into a 1024-byte line and hands it to the sink.
// A text too long for the line is cut; the line still ends with its newline.
void log_message(const char* text);

// The default sink: the system's debug output.
void debug_log(const char* text, bool flag);

// The sink as it stands now. The host may replace it from any thread.
Tarvex::LogFunc current_log_func();
void set_log_func(Tarvex::LogFunc sink);

}  // namespace tarvex
