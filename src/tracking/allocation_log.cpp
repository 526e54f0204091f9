#include "tracking/allocation_log.h"

#include <cinttypes>
#include <cstdio>

#include "base/errors.h"

namespace tarvex {

std::atomic<uint32_t> logging_count{0};

void log_allocation(const MemTrackEntry& entry, const MemContext& context) {
    const uint32_t remaining = logging_count.load(std::memory_order_relaxed);
    if (remaining == 0) return;
    // snprintf cuts a long name or info text; log_message cuts the line again
    // to its own buffer and keeps the newline.
    char line[2048];
    std::snprintf(line, sizeof(line),
                  "AllocId: %d  Addy: 0x%" PRIxPTR "  Size: %d Context: %s Info: %s",
                  static_cast<int>(entry.alloc_id), reinterpret_cast<uintptr_t>(entry.address),
                  static_cast<int>(entry.size), context.name ? context.name : "",
                  entry.info ? entry.info : "");
    log_message(line);
    if (remaining != logging_unlimited)
        logging_count.store(remaining - 1, std::memory_order_relaxed);
}

}  // namespace tarvex

void Tarvex::enable_logging(uint32_t count) {
    tarvex::logging_count.store(count, std::memory_order_relaxed);
}

void Tarvex::disable_logging() {
    tarvex::logging_count.store(0, std::memory_order_relaxed);
}
