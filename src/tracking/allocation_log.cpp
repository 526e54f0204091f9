#include "tracking/allocation_log.h"

#include <cinttypes>
#include <cstdio>

#include "base/errors.h"
#include "base/library_state.h"

namespace tarvex {

std::atomic<uint32_t> logging_count{0};

namespace {
// Guarded by the library lock, which the sink is called under: true while a
// line is in the sink, whose own allocations are tracked but not logged.
bool line_in_sink = false;

// Takes one event off the count before the line goes out, so that neither a
// sink that allocates nor a disable_logging made meanwhile is undone.
bool take_one_event() {
    uint32_t remaining = logging_count.load(std::memory_order_relaxed);
    do {
        if (remaining == 0) return false;
        if (remaining == logging_unlimited) return true;
    } while (
        !logging_count.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed));
    return true;
}
}  // namespace

void log_allocation(const MemTrackEntry& entry, const MemContext& context) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (line_in_sink || !take_one_event()) return;
    // snprintf cuts a long name or info text; log_message cuts the line again
    // to its own buffer and keeps the newline.
    char line[2048];
    std::snprintf(line, sizeof(line),
                  "AllocId: %d  Addy: 0x%" PRIxPTR "  Size: %d Context: %s Info: %s",
                  static_cast<int>(entry.alloc_id), reinterpret_cast<uintptr_t>(entry.address),
                  static_cast<int>(entry.size), context.name ? context.name : "",
                  entry.info ? entry.info : "");
    line_in_sink = true;
    log_message(line);
    line_in_sink = false;
}

}  // namespace tarvex

void Tarvex::enable_logging(uint32_t count) {
    tarvex::logging_count.store(count, std::memory_order_relaxed);
}

void Tarvex::disable_logging() {
    tarvex::logging_count.store(0, std::memory_order_relaxed);
}
