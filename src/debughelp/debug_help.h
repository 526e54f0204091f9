// Stack capture and symbol lookup, one interface over the system's
// debug-help services (dbghelp.dll bound at run time on Windows, the unwinder
// and the dynamic linker on POSIX).
//
// Capture is cheap and safe anywhere, under the library lock and inside a
// plug-in's start-up alike. Symbol lookups are not: they may wait for the
// system loader's lock, so they are made only without the library lock (see
// registry/registry.h). A report therefore gathers its addresses under the
// library lock, resolves them after leaving it, and writes from the cache
// under the lock again.
#pragma once

#include <stddef.h>
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

// Counted: only the start that takes the count from 0 binds, only the stop
// that brings it back to 0 unbinds, and a stop without a start is ignored, so
// a live binding is never set up twice nor taken from under its users. They
// load and unload system libraries.
void start_debug_help();
void stop_debug_help();
// Whether the binding is live: between a start that bound and the matching
// stop (on Windows, with dbghelp loaded and symbol handling open).
bool debug_help_live();

// Stores at most `limit` return addresses, innermost first, starting with
// the return address of the function that took `start`; zeroes the rest of
// the `limit` entries and returns how many it stored. Without a live binding
// it returns 0 and leaves `frames` untouched. Waits for no lock and for
// nothing that waits for the system loader (the safe walk on Windows takes
// the binding lock only when it is free).
//
// With `cut`, also tells how the walk ended: true when it stopped before
// `limit` at a stored frame whose caller it could not find (a function that
// keeps no frame pointer, or on POSIX one without unwind tables), false when
// it filled `limit`, reached the thread's outermost frame or stored nothing.
uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames,
                       bool* cut = nullptr);

struct ResolvedFrame {
    uintptr_t address;
    const char* function;  // "" when unknown
    const char* source;    // "" when unknown
    const char* module;    // "" when unknown
    uint32_t line;         // 0 when unknown
};

// Resolved frames stay in a cache until it is dropped. While a FramePin
// lives no record goes away: a drop asked for meanwhile waits for the last
// pin to go.
class FramePin {
public:
    FramePin();
    ~FramePin();
    FramePin(const FramePin&) = delete;
    FramePin& operator=(const FramePin&) = delete;
};

// Looks each address the cache lacks up through the system's services and
// caches it (an address that cannot be resolved too, with empty texts). May
// wait for the system loader's lock. pre: the library lock is not held,
// except at the final shutdown, where the loader's lock is already held.
void resolve_frames(const uintptr_t* addresses, size_t count);
// resolve_frames for one address, then its record (see cached_frame).
const ResolvedFrame* resolve_frame(uintptr_t address);

// The cached record for an address; null for 0, for an address not resolved
// yet, and when the runtime had no memory left for it. Takes only the cache's
// own lock, so it may run under the library lock. The record stays valid
// while the caller holds a FramePin, or until drop_frame_cache.
const ResolvedFrame* cached_frame(uintptr_t address);
// The cached record of each address as a copy, or the address with empty
// texts and line 0; the texts stay valid as the records' do. One turn of the
// cache's lock for them all.
void known_frames(const uintptr_t* addresses, size_t count, ResolvedFrame* out);

// Forgets every record: at once, or when the last FramePin goes.
void drop_frame_cache();

}  // namespace tarvex

// Takes a StartPoint in the body of the function that uses this macro.
#define TARVEX_TAKE_START_POINT(point) ::tarvex::take_start_point(point)
