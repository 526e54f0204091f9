// Scoped leak checks: the blocks of one context allocated since a token and
// still live. A token is a plain checkpoint, compared as dump_state compares
// its minimum, so one token serves every context.
#include "base/library_state.h"
#include "base/lock_slot.h"
#include "tarvex/tarvex.h"
#include "tracking/leak_report.h"
#include "tracking/track_table.h"

using namespace tarvex;

uint32_t Tarvex::scope_begin(uint32_t) {
    return get_checkpoint();
}

uint32_t Tarvex::scope_end(uint32_t context_id, uint32_t token, const char* file_name) {
    const ReportSelection selection{token, true, context_id};
    uint32_t live = 0;
    {
        LockHolder hold(library_lock());
        for_each_tracked(
            [&](const MemTrackEntry& entry) { live += selection.keeps(entry) ? 1 : 0; });
    }
    // Written as dump_state writes, with the frames resolved outside the
    // library lock.
    if (live != 0 && file_name != nullptr && file_name[0] != '\0') {
        dump_leak_report(file_name, selection);
    }
    return live;
}
