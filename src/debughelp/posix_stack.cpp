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

}  // namespace

bool bind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    // Functions and modules come from the dynamic linker, always there;
    // source lines only with libdw.
    line_info_open();
    return true;
}

void unbind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    line_info_close();
}

// The unwinder finds each frame's unwind table without the loader's lock
// that dlopen holds while a plug-in's constructors run: with glibc 2.35 and
// later it asks _dl_find_object, which takes no lock, and dl_iterate_phdr,
// which older unwinders use, takes only the lock that guards the list of
// loaded objects. So a capture inside a plug-in's constructor, or under the
// library lock while another thread is in one, does not wait for the loader.
uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames) {
    if (!debug_help_live()) return 0;
    Walk walk = {start.stack, start.stack, limit, 0, frames};
    if (limit != 0) _Unwind_Backtrace(visit_frame, &walk);
    for (uint32_t i = walk.stored; i < limit; ++i) frames[i] = 0;
    return walk.stored;
}

void lookup_frame(uintptr_t return_address, void (*keep)(const ResolvedFrame& found, void* user),
                  void* user) {
    TARVEX_CHECK_BINDING_LOCK();
    ResolvedFrame found = {return_address, "", "", "", 0};
    const uintptr_t call = call_site_of(return_address);
    char module[1024];
    const char* symbol = nullptr;
    if (platform::code_location(call, module, sizeof(module), &symbol)) found.module = module;
    const LineInfo line = line_info_lookup(call);
    // Functions the dynamic linker does not export are still in the symbol
    // table that libdw reads.
    if (symbol == nullptr) symbol = line.function;
    char* demangled = nullptr;
    if (symbol != nullptr) {
        // The demangled form when the name is a C++ one.
        int status = 0;
        demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
        found.function = status == 0 && demangled != nullptr ? demangled : symbol;
    }
    if (line.source != nullptr) {
        found.source = line.source;
        found.line = line.line;
    }
    keep(found, user);
    std::free(demangled);
}

}  // namespace tarvex
