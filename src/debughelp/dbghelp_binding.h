// The run-time binding of "dbghelp.dll": the library loaded by name and its
// eleven functions looked up by name, all or nothing. This back end is the
// one place outside the platform layer that includes the system headers: it
// needs the dbghelp record types.
#pragma once

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

namespace tarvex {

using SymInitializeFunc = BOOL(__stdcall*)(HANDLE process, PCSTR search_path, BOOL invade);
using SymCleanupFunc = BOOL(__stdcall*)(HANDLE process);
using StackWalk64Func = BOOL(__stdcall*)(DWORD machine, HANDLE process, HANDLE thread,
                                         LPSTACKFRAME64 frame, PVOID context,
                                         PREAD_PROCESS_MEMORY_ROUTINE64 read_memory,
                                         PFUNCTION_TABLE_ACCESS_ROUTINE64 function_table,
                                         PGET_MODULE_BASE_ROUTINE64 module_base,
                                         PTRANSLATE_ADDRESS_ROUTINE64 translate_address);
using SymFunctionTableAccess64Func = PVOID(__stdcall*)(HANDLE process, DWORD64 address);
using SymGetModuleBase64Func = DWORD64(__stdcall*)(HANDLE process, DWORD64 address);
using SymGetSymFromAddr64Func = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                                 PDWORD64 displacement, PIMAGEHLP_SYMBOL64 symbol);
using SymGetLineFromAddr64Func = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                                  PDWORD displacement, PIMAGEHLP_LINE64 line);
using SymGetModuleInfo64Func = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                                PIMAGEHLP_MODULE64 module);
using SymSetOptionsFunc = DWORD(__stdcall*)(DWORD options);
using SymFromAddrFunc = BOOL(__stdcall*)(HANDLE process, DWORD64 address, PDWORD64 displacement,
                                         PSYMBOL_INFO symbol);
using SymRefreshModuleListFunc = BOOL(__stdcall*)(HANDLE process);
using MiniDumpWriteDumpFunc = BOOL(__stdcall*)(HANDLE process, DWORD process_id, HANDLE file,
                                               MINIDUMP_TYPE dump_type,
                                               PMINIDUMP_EXCEPTION_INFORMATION exception,
                                               PMINIDUMP_USER_STREAM_INFORMATION user_streams,
                                               PMINIDUMP_CALLBACK_INFORMATION callback);

// The functions in the order they are bound. SymGetSymFromAddr64 must be
// present but is never called; StackWalk64 and its two callbacks are called
// only by the safe walk ("StackWalk: safe", windows_stack.cpp).
struct DbgHelpFunctions {
    SymInitializeFunc sym_initialize;
    SymCleanupFunc sym_cleanup;
    StackWalk64Func stack_walk64;
    SymFunctionTableAccess64Func sym_function_table_access64;
    SymGetModuleBase64Func sym_get_module_base64;
    SymGetSymFromAddr64Func sym_get_sym_from_addr64;
    SymGetLineFromAddr64Func sym_get_line_from_addr64;
    SymGetModuleInfo64Func sym_get_module_info64;
    SymSetOptionsFunc sym_set_options;
    SymFromAddrFunc sym_from_addr;
    MiniDumpWriteDumpFunc mini_dump_write_dump;
};

// The binding's state; all of it guarded by the binding lock.
struct DbgHelpBinding {
    HMODULE module;  // null: the binding is absent
    HANDLE process;  // opened for symbol handling; null when it failed
    DbgHelpFunctions functions;
    // Bound apart, when the library has it: the safe walk tells dbghelp of
    // modules loaded since it started. Not one of the required functions.
    SymRefreshModuleListFunc sym_refresh_module_list;
};

// pre: the binding lock is held.
DbgHelpBinding& dbghelp();

// pre: the binding lock is held. Loads and binds unless already bound; on
// any failure leaves the binding absent.
void dbghelp_bind();
// pre: the binding lock is held. Unloads the library.
void dbghelp_unbind();

}  // namespace tarvex
