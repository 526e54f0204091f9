// Stack capture and symbol lookup through the dbghelp binding.
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
constexpr DWORD machine_x86 = IMAGE_FILE_MACHINE_I386;
static_assert(machine_x86 == 0x14c, "walks are 32-bit x86 walks");

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

// Addresses are 32-bit; dbghelp takes them sign-extended to 64 bits.
DWORD64 widen_signed(uintptr_t address) {
    return static_cast<DWORD64>(static_cast<int64_t>(static_cast<int32_t>(address)));
}

}  // namespace

void start_debug_help() {
    BindingLockHolder hold;
    DbgHelpBinding& b = dbghelp();
    if (++b.start_count > 1) return;
    dbghelp_bind();
    if (b.module == nullptr) return;
    open_symbol_handling(b);
}

void stop_debug_help() {
    BindingLockHolder hold;
    DbgHelpBinding& b = dbghelp();
    if (--b.start_count > 0) return;
    if (b.module == nullptr) return;
    if (b.process != nullptr) {
        b.functions.sym_cleanup(b.process);
        CloseHandle(b.process);
        b.process = nullptr;
    }
    dbghelp_unbind();
}

bool debug_help_live() {
    BindingLockHolder hold;
    return binding_live(dbghelp());
}

uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames) {
    BindingLockHolder hold;
    DbgHelpBinding& b = dbghelp();
    // Also when symbol handling could not be opened: the walk needs it.
    if (!binding_live(b)) return 0;

    STACKFRAME64 frame;
    memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = start.instruction;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = start.frame;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = start.stack;
    frame.AddrStack.Mode = AddrModeFlat;

    uint32_t stored = 0;
    // The first step is the frame at the start point itself, never stored.
    for (uint32_t step = 0; stored < limit; ++step) {
        if (!b.functions.stack_walk64(machine_x86, b.process, GetCurrentThread(), &frame, nullptr,
                                      nullptr, b.functions.sym_function_table_access64,
                                      b.functions.sym_get_module_base64, nullptr)) {
            break;
        }
        // A frame that would return to itself ends the walk as a loop; so
        // does, in passing, a function that calls itself from one spot.
        if (frame.AddrPC.Offset == frame.AddrReturn.Offset) break;
        if (frame.AddrPC.Offset != 0 && step != 0) {
            frames[stored++] = static_cast<uintptr_t>(frame.AddrPC.Offset);
        }
    }
    for (uint32_t i = stored; i < limit; ++i) frames[i] = 0;
    return stored;
}

void lookup_frame(ResolvedFrame& frame, FrameArena& arena) {
    BindingLockHolder hold;
    DbgHelpBinding& b = dbghelp();
    // Frames resolved after the binding stopped keep their empty texts.
    if (!binding_live(b)) return;
    const DWORD64 address = widen_signed(frame.address);

    DWORD64 symbol_displacement = 0;
    if (!b.functions.sym_from_addr(b.process, address, &symbol_displacement, &symbol_record.info)) {
        return;
    }
    // The texts keep "" when the arena has no room for their copies.
    const auto keep = [&arena](const char*& field, const char* text) {
        const char* copy = text != nullptr ? arena.copy_text(text) : nullptr;
        if (copy != nullptr) field = copy;
    };
    keep(frame.function, symbol_record.info.Name);

    DWORD line_displacement = 0;
    if (b.functions.sym_get_line_from_addr64(b.process, address, &line_displacement,
                                             &line_record)) {
        keep(frame.source, line_record.FileName);
        frame.line = line_record.LineNumber;
    }

    IMAGEHLP_MODULE64 module;
    memset(&module, 0, sizeof(module));
    module.SizeOfStruct = module_record_size;
    if (b.functions.sym_get_module_info64(b.process, address, &module)) {
        keep(frame.module, module.ImageName);
    }
}

}  // namespace tarvex
