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

// pre: the library lock is held. Lists the selected blocks; a null file name
// does nothing.
void write_leak_report(const char* file_name, const ReportSelection& selection);
inline void write_leak_report(const char* file_name, uint32_t min_alloc_id) {
    write_leak_report(file_name, ReportSelection{min_alloc_id, false, 0});
}

}  // namespace tarvex
