// Stack capture with the unwinder, symbol lookup with the dynamic linker and
// the C++ demangler, source lines from libdw when the system has it.
#include <cxxabi.h>
#include <unwind.h>

#include <cstdlib>

#include "debughelp/binding_lock.h"
#include "debughelp/debug_help.h"
#include "debughelp/line_info.h"
#include "debughelp/symbol_lookup.h"
#include "platform/platform.h"

namespace tarvex {

namespace {

// Guarded by the binding lock. As with dbghelp, the count may go below zero
// (a stop without a start), and any start that leaves it at 1 or less binds.
int start_count = 0;
bool bound = false;

struct Walk {
    uintptr_t start_stack;  // the stack pointer of the function that took the start
    uintptr_t last_cfa;
    uint32_t limit;
    uint32_t stored;
    uintptr_t* frames;
};

// The unwinder reports, with each return address, the stack pointer its
// function had at the call. For the function that took the start point and
// for everything it called (capture_stack, the unwinder) that is at or below
// the start's stack pointer; the first frame above it is the caller of the
// function that took the start point, whose return address is stored first.
_Unwind_Reason_Code visit_frame(struct _Unwind_Context* context, void* argument) {
    Walk& walk = *static_cast<Walk*>(argument);
    const uintptr_t cfa = _Unwind_GetCFA(context);
    if (cfa <= walk.start_stack) return _URC_NO_REASON;
    const uintptr_t instruction = _Unwind_GetIP(context);
    // A frame that does not move up the stack would repeat forever.
    if (instruction == 0 || cfa <= walk.last_cfa) return _URC_END_OF_STACK;
    walk.last_cfa = cfa;
    walk.frames[walk.stored++] = instruction;
    return walk.stored < walk.limit ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// The function name: the demangled form when the name is a C++ one.
const char* copy_function_name(const char* symbol, FrameArena& arena) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    const char* copy = arena.copy_text(status == 0 && demangled != nullptr ? demangled : symbol);
    std::free(demangled);
    return copy;
}

}  // namespace

void start_debug_help() {
    BindingLockHolder hold;
    if (++start_count > 1) return;
    bound = true;
    line_info_open();
}

void stop_debug_help() {
    BindingLockHolder hold;
    if (--start_count > 0) return;
    bound = false;
    line_info_close();
}

bool debug_help_live() {
    BindingLockHolder hold;
    return bound;
}

uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames) {
    {
        BindingLockHolder hold;
        if (!bound) return 0;
    }
    Walk walk = {start.stack, start.stack, limit, 0, frames};
    if (limit != 0) _Unwind_Backtrace(visit_frame, &walk);
    for (uint32_t i = walk.stored; i < limit; ++i) frames[i] = 0;
    return walk.stored;
}

void lookup_frame(ResolvedFrame& frame, FrameArena& arena) {
    BindingLockHolder hold;
    // The texts keep "" when the arena has no room for their copies.
    const auto keep = [](const char*& field, const char* copy) {
        if (copy != nullptr) field = copy;
    };
    char module[1024];
    const char* symbol = nullptr;
    if (platform::code_location(frame.address, module, sizeof(module), &symbol)) {
        keep(frame.module, arena.copy_text(module));
    }
    const LineInfo line = line_info_lookup(frame.address);
    // Functions the dynamic linker does not export are still in the symbol
    // table that libdw reads.
    if (symbol == nullptr) symbol = line.function;
    if (symbol != nullptr) keep(frame.function, copy_function_name(symbol, arena));
    if (line.source != nullptr) {
        keep(frame.source, arena.copy_text(line.source));
        frame.line = line.line;
    }
}

}  // namespace tarvex
