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

// Always inlined, so the registers it reads are those of the function whose
// body uses it: the instruction pointer at this spot, that function's frame
// pointer (which the compiler must then keep) and its stack pointer.
__attribute__((always_inline)) inline void take_start_point(StartPoint& point) {
    uintptr_t instruction = 0;
    uintptr_t stack = 0;
#if defined(__i386__)
    __asm__ volatile("call 1f\n1: pop %0" : "=r"(instruction));
    __asm__ volatile("mov %%esp, %0" : "=r"(stack));
#elif defined(__x86_64__)
    __asm__ volatile("lea 0(%%rip), %0" : "=r"(instruction));
    __asm__ volatile("mov %%rsp, %0" : "=r"(stack));
#else
    // Elsewhere only the unwinder back end runs, which needs no more than an
    // address inside the frame.
    stack = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
    point.instruction = instruction;
    point.frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    point.stack = stack;
}

// Counted: the first start binds, the stop that brings the count to 0 (or
// below) unbinds.
void start_debug_help();
void stop_debug_help();
// Whether the binding is live: between a start that bound and the matching
// stop (on Windows, with dbghelp loaded and symbol handling open).
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

// The frame for an address, cached until drop_frame_cache; null for 0, and
// null when the runtime has no memory left for the record.
const ResolvedFrame* resolve_frame(uintptr_t address);
void drop_frame_cache();

}  // namespace tarvex

// Takes a StartPoint in the body of the function that uses this macro.
#define TARVEX_TAKE_START_POINT(point) ::tarvex::take_start_point(point)
