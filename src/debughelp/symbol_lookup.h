// What each back end supplies to the shared code above it: binding the
// system's services, unbinding them, and the lookup of one address.
#pragma once

#include <stdint.h>

#include "debughelp/debug_help.h"

namespace tarvex {

// pre (all three): the binding lock is held.
// Loads and binds the services; true when the binding is live.
bool bind_back_end();
// Gives back whatever bind_back_end obtained, also when it failed.
void unbind_back_end();

// Looks the address up and hands what it found to `keep`, exactly once: the
// texts belong to the back end, "" where unknown, and are valid only during
// that call.
void lookup_frame(uintptr_t address, void (*keep)(const ResolvedFrame& found, void* user),
                  void* user);

}  // namespace tarvex
