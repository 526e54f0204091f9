// What each back end supplies to the frame cache: the lookup of one address.
#pragma once

#include "debughelp/debug_help.h"
#include "debughelp/frame_arena.h"

namespace tarvex {

// pre: the library lock is held; `frame` holds the address, "" texts and
// line 0. Fills what the system can tell, with texts copied into `arena`.
void lookup_frame(ResolvedFrame& frame, FrameArena& arena);

}  // namespace tarvex
