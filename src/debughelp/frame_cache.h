// The frame cache: each distinct address goes to the back end once, until
// drop_frame_cache. resolve_frame and drop_frame_cache are declared in
// debug_help.h; this header adds what tests and diagnostics may read.
#pragma once

#include <stdint.h>

namespace tarvex {

// Addresses handed to the back end since the library was loaded.
uint32_t frame_lookup_count();

}  // namespace tarvex
