// The host's looks at the running library: the report from a checkpoint, and
// its own call stack through the log sink. Both resolve frames without the
// library lock: the lookups may wait for the system loader's lock, and a
// plug-in that the loader is starting may be waiting for the library lock.
#include <cinttypes>
#include <cstdio>

#include "base/errors.h"
#include "base/library_state.h"
#include "base/lock_slot.h"
#include "debughelp/debug_help.h"
#include "tarvex/tarvex.h"
#include "tracking/leak_report.h"

using namespace tarvex;

void Tarvex::dump_state(const char* file_name, uint32_t min_alloc_id) {
    if (file_name == nullptr || file_name[0] == '\0') return;
    dump_leak_report(file_name, min_alloc_id);
}

void Tarvex::dump_stack_trace() {
    StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    constexpr uint32_t max_frames = 128;
    uintptr_t frames[max_frames];
    const uint32_t captured = capture_stack(start, max_frames, frames);
    FramePin pin;
    resolve_frames(frames, captured);

    ResolvedFrame resolved[max_frames];
    known_frames(frames, captured, resolved);

    LockHolder hold(library_lock());
    log_message("Stack trace dump start");
    char line[4096];
    for (uint32_t i = 0; i < captured; ++i) {
        const ResolvedFrame& frame = resolved[i];
        std::snprintf(line, sizeof(line), "    D:%d A:0x%.8" PRIxPTR " M:%s F:%s S:%s L:%d",
                      static_cast<int>(i), frame.address, frame.module, frame.function,
                      frame.source, static_cast<int>(frame.line));
        log_message(line);
    }
    log_message("Stack trace dump end");
}
