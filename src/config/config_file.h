// tarvex.ini, read once by the start-up that builds the library.
#pragma once

#include "config/config_line.h"

namespace tarvex {

// Reads "tarvex.ini" from the current directory: sets back_trace_mode, adds
// the per-context trace depths and sets the break point. A missing file is
// logged ("Unable to open tarvex.ini") and changes nothing.
void read_config();

// Whether the last read_config found "StackWalk: safe"; the stack capture
// reads it when it binds.
bool safe_stack_walk_configured();

// The file "Timeline:" named in the last read_config, "" for none.
const char* timeline_file_configured();
// The "Live:" line of the last read_config; off for none.
const LiveSetting& live_configured();
// The file "LogFile:" named in the last read_config, "" for none.
const char* log_file_configured();

}  // namespace tarvex
