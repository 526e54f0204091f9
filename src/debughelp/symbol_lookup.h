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

// Every captured address is a return address: the walk never stores the
// frame it began in. It points at the instruction after the call, which may
// belong to the next line or, after a call that does not return, to the
// next function; the call itself lies one byte before.
inline uintptr_t call_site_of(uintptr_t return_address) {
    return return_address - 1;
}

// Looks up the call that the return address comes back to (call_site_of)
// and hands what it found to `keep`, exactly once, with the return address
// as its address: the texts belong to the back end, "" where unknown, and
// are valid only during that call.
void lookup_frame(uintptr_t return_address, void (*keep)(const ResolvedFrame& found, void* user),
                  void* user);

#if !defined(_WIN32)
// The POSIX back end: whether source files and lines are known, that is
// whether libdw was found when the binding started.
bool line_info_available();
#endif

}  // namespace tarvex
