// Stack capture and symbol lookup through the dbghelp binding.

#include <stddef.h>
#include <string.h>

#include <atomic>
#include <new>

#include "base/building_blocks.h"
#include "config/config_file.h"
#include "debughelp/binding.h"
#include "debughelp/dbghelp_binding.h"
#include "debughelp/debug_help.h"
#include "debughelp/module_map.h"
#include "debughelp/symbol_lookup.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// Capture and lookup
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

// Undecorated names, deferred symbol loads, and line loading: without the
// last, SymGetLineFromAddr64 never finds a line under Wine.
constexpr DWORD symbol_options = SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES;
static_assert(symbol_options == 0x16, "the symbol options the binding sets");
// The safe walk has every module's symbols loaded when dbghelp learns of it,
// outside the library lock, instead of on first use inside a walk.
constexpr DWORD safe_walk_symbol_options = symbol_options & ~SYMOPT_DEFERRED_LOADS;

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

void open_symbol_handling(DbgHelpBinding& b, bool safe_walk) {
    b.functions.sym_set_options(safe_walk ? safe_walk_symbol_options : symbol_options);
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

// The top of the calling thread's stack, and the lowest address committed to
// it so far, from its thread information block (read directly: GCC's
// NtCurrentTeb trips its own bounds warning).
uintptr_t current_stack_base() {
    static_assert(sizeof(void*) == 4, "the stack walk is written for 32-bit x86");
    uintptr_t base = 0;
    __asm__("movl %%fs:%c1, %0" : "=r"(base) : "i"(offsetof(NT_TIB, StackBase)));
    return base;
}

uintptr_t current_stack_limit() {
    uintptr_t limit = 0;
    __asm__ volatile("movl %%fs:%c1, %0" : "=r"(limit) : "i"(offsetof(NT_TIB, StackLimit)));
    return limit;
}

// Addresses are 32-bit; dbghelp takes them sign-extended to 64 bits.
DWORD64 widen_signed(uintptr_t address) {
    return static_cast<DWORD64>(static_cast<int64_t>(static_cast<int32_t>(address)));
}

// ---------------------------------------------------------------------------
// The safe walk ("StackWalk: safe")
//
// StackWalk64 with dbghelp's function tables unwinds through frames that keep
// no frame pointer, where the frame-pointer walk stops. It runs under the
// library lock like every capture, so it must not take the system loader's
// lock (see registry/registry.h), which dbghelp may take when it loads a
// module's symbols or looks for modules it does not know:
//   - symbols are loaded when dbghelp learns of a module (no deferred loads):
//     at the start, and when a lookup, outside the library lock, meets a
//     module loaded since;
//   - the walk's two callbacks answer only for the modules listed before
//     dbghelp last learned of them, and ask dbghelp only about those;
//   - it runs only when the binding lock is free: a lookup that holds it may
//     be waiting for the loader, and the capture then follows the frame
//     pointers instead of waiting.
// ---------------------------------------------------------------------------

// Guarded by the binding lock; made on first use and never destroyed, so a
// capture at process detach never meets a freed list.
ModuleMap& walk_modules() {
    return lasting<ModuleMap>();
}

// Set while a live binding was started with the safe walk; read by every
// capture without a lock.
std::atomic<bool> safe_walk_live{false};

// A StackWalk64 callback: called from inside the walk, under the binding lock.
PVOID __stdcall walk_function_table(HANDLE process, DWORD64 address) {
    if (walk_modules().find(static_cast<uintptr_t>(address)) == nullptr) return nullptr;
    return dbghelp().functions.sym_function_table_access64(process, address);
}

// A StackWalk64 callback, as above.
DWORD64 __stdcall walk_module_base(HANDLE, DWORD64 address) {
    const ModuleMap::Module* module = walk_modules().find(static_cast<uintptr_t>(address));
    return module != nullptr ? module->base : 0;
}

// A StackWalk64 callback. The walk reads the stack a few words at a time;
// what lies in the calling thread's committed stack is copied in place.
// ReadProcessMemory, dbghelp's own reader, made each 16-frame walk 25 times
// slower under Wine (8 ms against 0.35 ms, measured).
BOOL __stdcall walk_read_memory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size,
                                LPDWORD read) {
    const uintptr_t start = static_cast<uintptr_t>(address);
    const uintptr_t base = current_stack_base();
    if (start >= current_stack_limit() && start <= base && size <= base - start) {
        memcpy(buffer, reinterpret_cast<const void*>(start), size);
        if (read != nullptr) *read = size;
        return TRUE;
    }
    SIZE_T got = 0;
    const BOOL done =
        ReadProcessMemory(process, reinterpret_cast<LPCVOID>(start), buffer, size, &got);
    if (read != nullptr) *read = static_cast<DWORD>(got);
    return done;
}

// A frame in a module loaded since dbghelp last learned of modules: list
// the modules first, then tell dbghelp, so that the list never names a
// module dbghelp has not loaded. pre: the binding lock is held, the library
// lock is not.
void learn_new_modules(DbgHelpBinding& b, uintptr_t address) {
    if (!safe_walk_live.load(std::memory_order_relaxed)) return;
    if (walk_modules().find(address) != nullptr) return;
    walk_modules().take();
    if (b.sym_refresh_module_list != nullptr) b.sym_refresh_module_list(b.process);
}

// Walks are bounded even when dbghelp never reports the end.
constexpr uint32_t most_walk_steps = 1024;

// pre: the binding lock is held and the binding is live. The first frame of
// the walk, at the start point itself, is not stored: every stored address is
// a return address. `cut` as capture_stack gives it: dbghelp shows the
// thread's first frame with a return address of 0, and a walk that stops
// before one stopped where it could not unwind.
uint32_t walk_with_dbghelp(const StartPoint& start, uint32_t limit, uintptr_t* frames, bool& cut) {
    DbgHelpBinding& b = dbghelp();
    STACKFRAME64 frame;
    memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = start.instruction;
    frame.AddrFrame.Offset = start.frame;
    frame.AddrStack.Offset = start.stack;
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    uint32_t stored = 0;
    bool outermost = false;
    for (uint32_t step = 0; stored < limit && step < most_walk_steps; ++step) {
        if (!b.functions.stack_walk64(IMAGE_FILE_MACHINE_I386, b.process, GetCurrentThread(),
                                      &frame, nullptr, walk_read_memory, walk_function_table,
                                      walk_module_base, nullptr)) {
            break;
        }
        outermost = frame.AddrReturn.Offset == 0;
        if (frame.AddrPC.Offset == frame.AddrReturn.Offset) break;
        if (frame.AddrPC.Offset != 0 && step != 0) {
            frames[stored++] = static_cast<uintptr_t>(frame.AddrPC.Offset);
        }
    }
    cut = stored != 0 && stored < limit && !outermost;
    return stored;
}

// ---------------------------------------------------------------------------
// The frame-pointer walk (the default)
//
// It follows the chain of frame pointers (every function of the library, and
// of a host built as it is, keeps one) within the calling thread's stack. It
// takes no lock and asks dbghelp nothing: a plug-in's DllMain allocates while
// the loader holds its lock, and a lookup may hold the binding lock while it
// waits for that lock.
// ---------------------------------------------------------------------------

// `cut` as capture_stack gives it. The system starts a thread with a frame
// pointer of 0, so the chain of a whole stack ends in a record that links to
// 0 (or returns to 0). A function without a frame pointer that uses the
// register for its own data leaves its callee a link to something else,
// which fails the checks below: the walk was cut at that function's frame.
// (One that leaves the register alone is passed over unseen: its callee
// links to its caller's caller.)
uint32_t walk_frame_pointers(const StartPoint& start, uint32_t limit, uintptr_t* frames,
                             bool& cut) {
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
    bool outermost = false;
    while (stored < limit && frame >= lowest && frame % alignof(FrameRecord) == 0 &&
           frame <= stack_base - sizeof(FrameRecord)) {
        const FrameRecord& record = *reinterpret_cast<const FrameRecord*>(frame);
        if (record.return_address == 0) {
            outermost = true;
            break;
        }
        frames[stored++] = record.return_address;
        lowest = frame + sizeof(FrameRecord);
        frame = record.caller_frame;
    }
    cut = stored != 0 && stored < limit && !outermost && frame != 0;
    return stored;
}

}  // namespace

bool bind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    DbgHelpBinding& b = dbghelp();
    dbghelp_bind();
    if (b.module == nullptr) return false;
    const bool safe_walk = safe_stack_walk_configured();
    // Listed before dbghelp learns of the modules, as learn_new_modules does.
    if (safe_walk) walk_modules().take();
    open_symbol_handling(b, safe_walk);
    safe_walk_live.store(safe_walk && binding_live(b), std::memory_order_relaxed);
    return binding_live(b);
}

void unbind_back_end() {
    TARVEX_CHECK_BINDING_LOCK();
    DbgHelpBinding& b = dbghelp();
    safe_walk_live.store(false, std::memory_order_relaxed);
    if (b.module == nullptr) return;
    if (b.process != nullptr) {
        b.functions.sym_cleanup(b.process);
        CloseHandle(b.process);
        b.process = nullptr;
    }
    dbghelp_unbind();
}

uint32_t capture_stack(const StartPoint& start, uint32_t limit, uintptr_t* frames, bool* cut) {
    if (cut != nullptr) *cut = false;
    if (!debug_help_live()) return 0;
    uint32_t stored = 0;
    bool walked = false;
    bool stopped_short = false;
    if (limit != 0 && safe_walk_live.load(std::memory_order_relaxed)) {
        BindingLockAttempt attempt;
        if (attempt.held() && binding_live(dbghelp())) {
            stored = walk_with_dbghelp(start, limit, frames, stopped_short);
            walked = true;
        }
    }
    if (!walked) stored = walk_frame_pointers(start, limit, frames, stopped_short);
    for (uint32_t i = stored; i < limit; ++i) frames[i] = 0;
    if (cut != nullptr) *cut = stopped_short;
    return stored;
}

void lookup_frame(uintptr_t return_address, void (*keep)(const ResolvedFrame& found, void* user),
                  void* user) {
    TARVEX_CHECK_BINDING_LOCK();
    ResolvedFrame found = {return_address, "", "", "", 0};
    DbgHelpBinding& b = dbghelp();
    // Frames resolved after the binding stopped keep their empty texts.
    if (!binding_live(b)) return keep(found, user);
    const uintptr_t call = call_site_of(return_address);
    learn_new_modules(b, call);
    const DWORD64 wide = widen_signed(call);

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

// ---------------------------------------------------------------------------
// Mini dumps
//
// The crash mini dump through the dbghelp binding.
// ---------------------------------------------------------------------------

using namespace tarvex;

namespace {

static_assert(MiniDumpWithIndirectlyReferencedMemory == 0x40, "the dump type written");

// pre: the binding lock is held and the binding is present.
bool write_dump(const DbgHelpFunctions& functions, EXCEPTION_POINTERS* exception_pointers,
                const char* file_name) {
    TARVEX_CHECK_BINDING_LOCK();
    TARVEX_CHECK(functions.mini_dump_write_dump != nullptr, "the binding is present");
    // A handle of its own, apart from the one the binding keeps for symbols.
    HANDLE process = OpenProcess(all_process_access, FALSE, GetCurrentProcessId());
    if (process == nullptr) return false;
    HANDLE file = CreateFileA(file_name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        CloseHandle(process);
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), exception_pointers, TRUE};
    const BOOL written = functions.mini_dump_write_dump(
        process, GetCurrentProcessId(), file, MiniDumpWithIndirectlyReferencedMemory,
        exception_pointers != nullptr ? &exception : nullptr, nullptr, nullptr);
    CloseHandle(file);
    CloseHandle(process);
    return written != FALSE;
}

}  // namespace

bool Tarvex::mini_dump(_EXCEPTION_POINTERS* exception_pointers, const char* file_name) {
    if (file_name == nullptr) return false;
    start_debug_help();
    bool written = false;
    {
        // dbghelp is not thread-safe: the dump must not meet a lookup.
        BindingLockHolder hold;
        const DbgHelpBinding& b = dbghelp();
        if (b.module != nullptr) written = write_dump(b.functions, exception_pointers, file_name);
    }
    stop_debug_help();
    return written;
}
