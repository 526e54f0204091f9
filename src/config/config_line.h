// One line of tarvex.ini: which setting it names and the value it carries.
//
// A line is classified by the first key it contains anywhere (in the order of
// ConfigKey) and then parsed from its very first character with that key's
// format, by the rules of formatted input: literal characters must match, a
// blank matches any run of white space (also none), a conversion that fails
// leaves its target unchanged and ends the parse.
#pragma once

#include <stdint.h>

#include "tarvex/tarvex.h"

namespace tarvex {

// "Live: [<a.b.c.d>:]<port> [<queue MiB>]": in tracking mode the game
// serves its timeline to a viewer there; 127.0.0.1 unless the line names
// another address. A port above 65535 or an address that does not parse
// leaves the setting off.
struct LiveSetting {
    bool on = false;
    uint32_t address = 0x7f000001;  // host order
    uint16_t port = 0;
    uint32_t queue_mib = 8;
};

// The scalar settings of the file, as the lines read so far left them.
struct ConfigSettings {
    int32_t back_trace_mode = 0;
    MemTypeDefs::BreakPoint breakpoint = {0, 0, 0, 0};
    // "StackWalk: safe": capture through the system's unwinder on Windows,
    // which follows frames without frame pointers; "StackWalk: frames" (the
    // default) follows the frame pointers.
    bool safe_stack_walk = false;
    // "Timeline: <file>": where the timeline goes in tracking mode; empty
    // for none.
    char timeline_file[1024] = {};
    // "LogFile: <file>": every line the library logs also goes there; empty
    // for none.
    char log_file[1024] = {};
    LiveSetting live;
};

enum class ConfigKey {
    ignored,  // empty, a comment, or no key in it
    back_trace_mode,
    break_alloc_id,
    break_context_id,
    break_min_size,
    break_max_size,
    trace_depth,
    budget,
    stack_walk,
    timeline,
    log_file,
    live,
};

// A "TraceDepth:" line's pair; a part that does not parse stays 0.
// "TraceDepth: * N" names no id: it sets `every_context`, and its depth is
// that of every context that no line names.
struct TraceDepthSetting {
    uint32_t context_id = 0;
    uint32_t depth = 0;
    bool every_context = false;
};

// A "Budget:" line's id and budgets; a part that does not parse stays 0.
struct BudgetSetting {
    uint32_t context_id = 0;
    uint32_t soft = 0;
    uint32_t hard = 0;
};

// pre: `line` is zero-terminated. Scalar keys write into `settings` when their
// value parses; a trace_depth line fills `depth` and a budget line `budget`
// with what parsed. Numbers wrap modulo 2^32 where they do not fit, the same
// on every runtime.
ConfigKey parse_config_line(const char* line, ConfigSettings& settings, TraceDepthSetting& depth,
                            BudgetSetting& budget);

}  // namespace tarvex
