// Stack capture and symbol lookup through the dbghelp binding.
#include <stddef.h>
#include <string.h>

#include "debughelp/binding_lock.h"
#include "debughelp/dbghelp_binding.h"
#include "debughelp/debug_help.h"
#include "debughelp/symbol_lookup.h"

namespace tarvex {

namespace {

// Undecorated names, deferred symbol loads, and line loading: without the
// last, SymGetLineFromAddr64 never finds a line under Wine.
constexpr DWORD symbol_options = SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES;
static_assert(symbol_options == 0x16, "the symbol options the binding sets");

constexpr DWORD all_process_access = 0x1f0fff;

constexpr DWORD max_symbol_name = 4007;
constexpr DWORD module_record_size = 1664;

// Prepared by each real start, reused by every lookup (under the binding
// lock).
struct SymbolRecord {
    SYMBOL_INFO info;
    char name_room[max_symbol_name];
};
SymbolRecord symbol_record;
IMAGEHLP_LINE64 line_record;

static_assert(sizeof(SYMBOL_INFO) == 88, "the 32-bit SYMBOL_INFO");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "the 32-bit IMAGEHLP_LINE64");
static_assert(sizeof(IMAGEHLP_MODULE64) >= module_record_size, "room for the module record");

bool binding_live(const DbgHelpBinding& b) {
    return b.module != nullptr && b.process != nullptr;
}

void open_symbol_handling(DbgHelpBinding& b) {
    b.functions.sym_set_options(symbol_options);
    b.process = OpenProcess(all_process_access, FALSE, GetCurrentProcessId());
    if (b.process == nullptr) return;
    if (!b.functions.sym_initialize(b.process, nullptr, TRUE)) {
        CloseHandle(b.process);
        b.process = nullptr;
        return;
    }
    memset(&symbol_record, 0, sizeof(symbol_record));
    symbol_record.info.SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol_record.info.MaxNameLen = max_symbol_name;
    memset(&line_record, 0, sizeof(line_record));
    line_record.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
}

// The top of the calling thread's stack, from its thread information block
// (read directly: GCC's NtCurrentTeb trips its own bounds warning).
uintptr_t current_stack_base() {
    static_assert(sizeof(void*) == 4, "the stack walk is written for 32-bit x86");
    uintptr_t base = 0;
    __asm__("movl %%fs:%c1, %0" : "=r"(base) : "i"(offsetof(NT_TIB, StackBase)));
    return base;
}

// Addresses are 32-bit; dbghelp takes them sign-extended to 64 bits.
DWORD64 widen_signed(uintptr_t address) {
    return static_cast<DWORD64>(static_cast<int64_t>(static_cast<int32_t>(address)));
}

}  // namespace

bool bind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    DbgHelpBinding& b = dbghelp();
    dbghelp_bind();
    if (b.module == nullptr) return false;
    open_symbol_handling(b);
    return binding_live(b);
}

void unbind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    DbgHelpBinding& b = dbghelp();
    if (b.module == nullptr) return;
    if (b.process != nullptr) {
        b.functions.sym_cleanup(b.process);
        CloseHandle(b.process);
        b.process = nullptr;
    }
    dbghelp_unbind();
}

// The walk follows the chain of frame pointers (every function of the
// library, and of a host built as it is, keeps one) within the calling
// thread's stack. Not StackWalk64: it needs the binding lock, which a
// lookup may hold while it waits for the loader's lock (dbghelp loads a
// module's symbols, and with them its symbol-server libraries, on first
// use), and a plug-in's DllMain allocates while the loader holds that lock.
uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames) {
    if (!debug_help_live()) return 0;
    struct FrameRecord {
        uintptr_t caller_frame;
        uintptr_t return_address;
    };
    const uintptr_t stack_base = current_stack_base();
    // Each record lies above the one before; anything else ends the walk
    // before it can read outside the stack.
    uintptr_t lowest = start.stack;
    uintptr_t frame = start.frame;
    uint32_t stored = 0;
    while (stored < limit && frame >= lowest && frame % alignof(FrameRecord) == 0 &&
           frame <= stack_base - sizeof(FrameRecord)) {
        const FrameRecord& record = *reinterpret_cast<const FrameRecord*>(frame);
        if (record.return_address == 0) break;
        frames[stored++] = record.return_address;
        lowest = frame + sizeof(FrameRecord);
        frame = record.caller_frame;
    }
    for (uint32_t i = stored; i < limit; ++i) frames[i] = 0;
    return stored;
}

void lookup_frame(uintptr_t return_address, void (*keep)(const ResolvedFrame& found, void* user),
                  void* user) {
    TARVEX_CHECK_BINDING_LOCK();
    ResolvedFrame found = {return_address, "", "", "", 0};
    DbgHelpBinding& b = dbghelp();
    // Frames resolved after the binding stopped keep their empty texts.
    if (!binding_live(b)) return keep(found, user);
    const DWORD64 wide = widen_signed(call_site_of(return_address));

    DWORD64 symbol_displacement = 0;
    if (!b.functions.sym_from_addr(b.process, wide, &symbol_displacement, &symbol_record.info)) {
        return keep(found, user);
    }
    found.function = symbol_record.info.Name;

    DWORD line_displacement = 0;
    if (b.functions.sym_get_line_from_addr64(b.process, wide, &line_displacement, &line_record)) {
        if (line_record.FileName != nullptr) found.source = line_record.FileName;
        found.line = line_record.LineNumber;
    }

    IMAGEHLP_MODULE64 module;
    memset(&module, 0, sizeof(module));
    module.SizeOfStruct = module_record_size;
    if (b.functions.sym_get_module_info64(b.process, wide, &module))
        found.module = module.ImageName;
    keep(found, user);
}

}  // namespace tarvex
