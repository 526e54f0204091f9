// The leak report: every live tracked block, grouped by context, with its
// resolved back-trace, then the named counters, as an XML file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tarvex/tarvex.h"

namespace tarvex {

constexpr size_t leak_file_name_capacity = 1024;

// "MemLeaks_<executable base name>.xml" into a buffer of
// leak_file_name_capacity bytes; returns the buffer.
char* leak_file_name(char* buffer);

// The tracked blocks a report lists: those whose alloc_id is at least
// `min_alloc_id` and, with `one_context`, only those of `context_id`.
struct ReportSelection {
    uint32_t min_alloc_id = 0;
    bool one_context = false;
    uint32_t context_id = 0;

    bool keeps(const MemTrackEntry& entry) const {
        return entry.alloc_id >= min_alloc_id && (!one_context || entry.context_id == context_id);
    }
};

// Both list the selected blocks; a null file name does nothing. When no
// memory is left to list the blocks, an error goes to the sink and no file is
// left.

// pre: the library lock is held, as at the final shutdown: frames are
// resolved under it. Only there may that be, since the loader's lock is held
// already at process detach (see registry/registry.h).
void write_leak_report(const char* file_name, const ReportSelection& selection);

// Takes the library lock to gather the frames the report needs, leaves it
// to resolve them, and takes it again to write. A caller that holds the lock
// already (a break function that dumps) has them resolved under it.
void dump_leak_report(const char* file_name, const ReportSelection& selection);

inline void write_leak_report(const char* file_name, uint32_t min_alloc_id) {
    write_leak_report(file_name, ReportSelection{min_alloc_id, false, 0});
}
inline void dump_leak_report(const char* file_name, uint32_t min_alloc_id) {
    dump_leak_report(file_name, ReportSelection{min_alloc_id, false, 0});
}

}  // namespace tarvex
