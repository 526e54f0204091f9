// Stack capture and symbol lookup, one interface over the system's
// debug-help services (dbghelp.dll bound at run time on Windows, the unwinder
// and the dynamic linker on POSIX). Callers of capture_stack, resolve_frame
// and drop_frame_cache hold the library lock: the lookups are not
// thread-safe.
#pragma once

#include <stdint.h>

namespace tarvex {

// Where a walk begins: taken in the caller's own body, so the walk can leave
// the caller's frame out.
struct StartPoint {
    uintptr_t instruction;
    uintptr_t frame;
    uintptr_t stack;
};

// Counted: the first start binds, the stop that brings the count to 0 (or
// below) unbinds.
void start_debug_help();
void stop_debug_help();
// Whether the binding is live (dbghelp loaded and symbol handling open).
bool debug_help_live();

// Stores at most `limit` return addresses, innermost first, starting with
// the return address of the function that took `start`; zeroes the rest of
// the `limit` entries and returns how many it stored. Without a live binding
// it returns 0 and leaves `frames` untouched.
uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames);

struct ResolvedFrame {
    uintptr_t address;
    const char* function;  // "" when unknown
    const char* source;    // "" when unknown
    const char* module;    // "" when unknown
    uint32_t line;         // 0 when unknown
};

// The frame for an address, cached until drop_frame_cache; null for 0.
const ResolvedFrame* resolve_frame(uintptr_t address);
void drop_frame_cache();

}  // namespace tarvex

// Takes a StartPoint in the body of the function that uses this macro.
#define TARVEX_TAKE_START_POINT(point) ::tarvex::take_start_point(point)
