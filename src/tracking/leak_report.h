// The leak report: every live tracked block, grouped by context, with its
// resolved back-trace, then the named counters, as an XML file.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tarvex {

constexpr size_t leak_file_name_capacity = 1024;

// "MemLeaks_<executable base name>.xml" into a buffer of
// leak_file_name_capacity bytes; returns the buffer.
char* leak_file_name(char* buffer);

// pre: the library lock is held. Lists the blocks whose alloc_id is at least
// `min_alloc_id`; a null file name does nothing.
void write_leak_report(const char* file_name, uint32_t min_alloc_id);

}  // namespace tarvex
