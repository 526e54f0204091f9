// The frame cache: each distinct address goes to the back end once, until
// drop_frame_cache. resolve_frame and drop_frame_cache are declared in
// debug_help.h; this header adds what tests and diagnostics may read.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tarvex {

// Copies to `out` each address that is not 0 and not cached; returns how
// many. One turn of the cache's lock for them all.
size_t uncached_frames(const uintptr_t* addresses, size_t count, uintptr_t* out);

// Addresses handed to the back end since the library was loaded.
uint32_t frame_lookup_count();

}  // namespace tarvex
