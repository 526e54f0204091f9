// The crash mini dump through the dbghelp binding.
#include "debughelp/binding_lock.h"
#include "debughelp/dbghelp_binding.h"
#include "debughelp/debug_help.h"
#include "tarvex/tarvex.h"

using namespace tarvex;

namespace {

constexpr DWORD all_process_access = 0x1f0fff;
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
