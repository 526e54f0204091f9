#include "config/config_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/errors.h"
#include "base/library_state.h"
#include "config/config_line.h"
#include "config/id_tables.h"
#include "platform/platform.h"
#include "tarvex/tarvex.h"

namespace tarvex {

namespace {

// A line is what lies between two line ends, whatever its length. Its first
// 4094 characters are kept and classified, the rest is skipped, so the tail
// of a long comment never comes alive and no line can overrun the buffer.
constexpr size_t line_buffer_size = 4096;
constexpr size_t line_kept = 4094;

// Reads one whole line into `line` (its line end kept, as fgets would keep
// it); false at the end of the file. Character by character: a line may
// hold NUL bytes, which end the text that is classified but not the line.
bool read_line(std::FILE* file, char* line) {
    size_t kept = 0;
    int c = std::getc(file);
    if (c == EOF) return false;
    for (; c != EOF; c = std::getc(file)) {
        if (kept < line_kept) line[kept++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[kept] = '\0';
    return true;
}

// A configuration file is a few dozen lines; reading stops after this many
// bytes, so a huge file cannot hold up start-up.
constexpr long most_bytes_read = 1L << 20;

std::atomic<bool> safe_stack_walk{false};
// Written only while the configuration is read at start-up.
char timeline_file[sizeof(ConfigSettings::timeline_file)] = {};
char log_file[sizeof(ConfigSettings::log_file)] = {};
LiveSetting live;

}  // namespace

const char* timeline_file_configured() {
    return timeline_file;
}

const LiveSetting& live_configured() {
    return live;
}

const char* log_file_configured() {
    return log_file;
}

bool safe_stack_walk_configured() {
    return safe_stack_walk.load(std::memory_order_acquire);
}

void read_config() {
    // Start-up clears the break point before the file is read, so a missing
    // file leaves it clear even after an earlier run of the library set it.
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    timeline_file[0] = '\0';
    log_file[0] = '\0';
    live = LiveSetting{};

    // Only a regular file counts: a FIFO would block start-up until a writer
    // came, and a link to a device such as /dev/zero would never end.
    std::FILE* file = platform::open_regular_file("tarvex.ini");
    if (file == nullptr) {
        log_message("Unable to open tarvex.ini");
        return;
    }
    ConfigSettings settings;
    char line[line_buffer_size];
    while (std::ftell(file) < most_bytes_read && read_line(file, line)) {
        TraceDepthSetting depth;
        BudgetSetting budget;
        const ConfigKey key = parse_config_line(line, settings, depth, budget);
        if (key == ConfigKey::trace_depth && depth.every_context)
            add_default_trace_depth(depth.depth);
        if (key == ConfigKey::trace_depth && !depth.every_context)
            add_trace_depth(depth.context_id, depth.depth);
        if (key == ConfigKey::budget) add_budget(budget.context_id, {budget.soft, budget.hard});
    }
    std::fclose(file);

    back_trace_mode.store(settings.back_trace_mode, std::memory_order_release);
    safe_stack_walk.store(settings.safe_stack_walk, std::memory_order_release);
    std::memcpy(timeline_file, settings.timeline_file, sizeof(timeline_file));
    std::memcpy(log_file, settings.log_file, sizeof(log_file));
    live = settings.live;
    Tarvex::set_breakpoint(settings.breakpoint);
}

}  // namespace tarvex
