// The handle's optional text log of its blocks.
#pragma once

#include "records.h"

namespace tarvex_classic {

// Opens "TX<time>.dbg" in the directory named by "tmp", or in the current
// directory when "tmp" is unset or empty, and writes the handle line. When the
// file cannot be created, or its path does not fit the path buffer, the
// handle simply runs without a log.
// pre: handle->block_size is set
void open_debug_log(HandleRecord* handle);

// Closes the log; the handle writes nothing more afterwards.
void close_debug_log(HandleRecord* handle);

}  // namespace tarvex_classic
