// Stack capture with the unwinder, symbol lookup with the dynamic linker and
// the C++ demangler, source lines from libdw when the system has it.

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <stdint.h>
#include <unwind.h>

#include <cstdlib>

#include "debughelp/binding.h"
#include "debughelp/debug_help.h"
#include "debughelp/symbol_lookup.h"
#include "platform/platform.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// Source lines
//
// Source files and lines on POSIX, from elfutils' libdw when the system has
// it: loaded at run time by name, so the library needs nothing beyond the C
// runtime to load, and lines are simply unknown without it.
// ---------------------------------------------------------------------------

namespace tarvex {

// pre (all): the binding lock is held.
// Loads libdw and reports the process's modules to it; false without libdw.
bool line_info_open();
void line_info_close();
bool line_info_available();

// What libdw knows of a code address; null texts and line 0 where it knows
// nothing. The texts belong to libdw and stay valid until line_info_close.
struct LineInfo {
    const char* source;
    uint32_t line;
    const char* function;  // the symbol table's (mangled) name
};
LineInfo line_info_lookup(uintptr_t address);

}  // namespace tarvex

namespace tarvex {

namespace {

// The libdw functions in use, bound all or nothing. Their types come from the
// library's own header; the library itself is never linked.
struct LibdwFunctions {
    decltype(&dwfl_begin) begin;
    decltype(&dwfl_end) end;
    decltype(&dwfl_report_begin) report_begin;
    decltype(&dwfl_report_end) report_end;
    decltype(&dwfl_linux_proc_report) linux_proc_report;
    decltype(&dwfl_linux_proc_find_elf) linux_proc_find_elf;
    decltype(&dwfl_standard_find_debuginfo) standard_find_debuginfo;
    decltype(&dwfl_addrmodule) addrmodule;
    decltype(&dwfl_module_getsrc) module_getsrc;
    decltype(&dwfl_lineinfo) lineinfo;
    decltype(&dwfl_module_addrname) module_addrname;
};

struct LibdwState {
    void* library;
    Dwfl* session;
    Dwfl_Callbacks callbacks;  // libdw keeps a pointer to it
    LibdwFunctions functions;
};

LibdwState libdw = {};

template <typename Func>
bool bind_function(const char* name, Func& slot) {
    return platform::bind_symbol(libdw.library, name, slot);
}

bool bind_all(LibdwFunctions& f) {
    return bind_function("dwfl_begin", f.begin) && bind_function("dwfl_end", f.end) &&
           bind_function("dwfl_report_begin", f.report_begin) &&
           bind_function("dwfl_report_end", f.report_end) &&
           bind_function("dwfl_linux_proc_report", f.linux_proc_report) &&
           bind_function("dwfl_linux_proc_find_elf", f.linux_proc_find_elf) &&
           bind_function("dwfl_standard_find_debuginfo", f.standard_find_debuginfo) &&
           bind_function("dwfl_addrmodule", f.addrmodule) &&
           bind_function("dwfl_module_getsrc", f.module_getsrc) &&
           bind_function("dwfl_lineinfo", f.lineinfo) &&
           bind_function("dwfl_module_addrname", f.module_addrname);
}

// Tells libdw which modules the process has loaded now.
bool report_modules() {
    const LibdwFunctions& f = libdw.functions;
    f.report_begin(libdw.session);
    const int failed =
        f.linux_proc_report(libdw.session, static_cast<pid_t>(platform::current_process_id()));
    return f.report_end(libdw.session, nullptr, nullptr) == 0 && failed == 0;
}

}  // namespace

bool line_info_open() {
    if (libdw.session != nullptr) return true;
    libdw.library = platform::library_load("libdw.so.1");
    if (libdw.library == nullptr) return false;
    if (bind_all(libdw.functions)) {
        libdw.callbacks = Dwfl_Callbacks{};
        libdw.callbacks.find_elf = libdw.functions.linux_proc_find_elf;
        libdw.callbacks.find_debuginfo = libdw.functions.standard_find_debuginfo;
        libdw.session = libdw.functions.begin(&libdw.callbacks);
        if (libdw.session != nullptr && report_modules()) return true;
    }
    line_info_close();
    return false;
}

void line_info_close() {
    if (libdw.session != nullptr) libdw.functions.end(libdw.session);
    if (libdw.library != nullptr) platform::library_unload(libdw.library);
    libdw = LibdwState{};
}

bool line_info_available() {
    return libdw.session != nullptr;
}

LineInfo line_info_lookup(uintptr_t address) {
    LineInfo info = {nullptr, 0, nullptr};
    if (libdw.session == nullptr) return info;
    const LibdwFunctions& f = libdw.functions;
    const Dwarf_Addr where = address;
    Dwfl_Module* module = f.addrmodule(libdw.session, where);
    // A module loaded after the last report: report again, once.
    if (module == nullptr && report_modules()) module = f.addrmodule(libdw.session, where);
    if (module == nullptr) return info;
    info.function = f.module_addrname(module, where);
    Dwfl_Line* line = f.module_getsrc(module, where);
    if (line == nullptr) return info;
    int line_number = 0;
    info.source = f.lineinfo(line, nullptr, &line_number, nullptr, nullptr, nullptr);
    if (info.source != nullptr && line_number > 0) info.line = static_cast<uint32_t>(line_number);
    return info;
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Capture and lookup
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

struct Walk {
    uintptr_t start_stack;  // the stack pointer of the function that took the start
    uintptr_t last_cfa;
    uint32_t limit;
    uint32_t stored;
    uintptr_t* frames;
    bool outermost;  // the walk passed the thread's first frame
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
    // The thread's first frame (the C runtime's _start, the thread start in
    // clone) marks its return address undefined in its unwind table, and the
    // unwinder shows what lies beyond as a frame at address 0. A frame whose
    // function has no unwind table ends the walk without one: its caller is
    // unknown, and the walk was cut there.
    if (instruction == 0) {
        walk.outermost = true;
        return _URC_END_OF_STACK;
    }
    // A frame that does not move up the stack would repeat forever.
    if (cfa <= walk.last_cfa) return _URC_END_OF_STACK;
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
uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames, bool* cut) {
    if (cut != nullptr) *cut = false;
    if (!debug_help_live()) return 0;
    Walk walk = {start.stack, start.stack, limit, 0, frames, false};
    if (limit != 0) _Unwind_Backtrace(visit_frame, &walk);
    for (uint32_t i = walk.stored; i < limit; ++i) frames[i] = 0;
    if (cut != nullptr) *cut = walk.stored != 0 && walk.stored < limit && !walk.outermost;
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

// ---------------------------------------------------------------------------
// Mini dumps
//
// POSIX has no mini dump: the call reports failure and creates no file.
// ---------------------------------------------------------------------------

bool Tarvex::mini_dump(_EXCEPTION_POINTERS*, const char*) {
    return false;
}
