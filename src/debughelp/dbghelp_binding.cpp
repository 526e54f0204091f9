#include "debughelp/dbghelp_binding.h"

#include "debughelp/binding.h"
#include "platform/platform.h"

namespace tarvex {

namespace {

DbgHelpBinding binding = {nullptr, nullptr, {}, nullptr};

template <typename Func>
bool bind_function(const char* name, Func& slot) {
    return platform::bind_symbol(binding.module, name, slot);
}

bool bind_all(DbgHelpFunctions& f) {
    return bind_function("SymInitialize", f.sym_initialize) &&
           bind_function("SymCleanup", f.sym_cleanup) &&
           bind_function("StackWalk64", f.stack_walk64) &&
           bind_function("SymFunctionTableAccess64", f.sym_function_table_access64) &&
           bind_function("SymGetModuleBase64", f.sym_get_module_base64) &&
           bind_function("SymGetSymFromAddr64", f.sym_get_sym_from_addr64) &&
           bind_function("SymGetLineFromAddr64", f.sym_get_line_from_addr64) &&
           bind_function("SymGetModuleInfo64", f.sym_get_module_info64) &&
           bind_function("SymSetOptions", f.sym_set_options) &&
           bind_function("SymFromAddr", f.sym_from_addr) &&
           bind_function("MiniDumpWriteDump", f.mini_dump_write_dump);
}

}  // namespace

DbgHelpBinding& dbghelp() {
    TARVEX_CHECK_BINDING_LOCK();
    return binding;
}

void dbghelp_bind() {
    TARVEX_CHECK_BINDING_LOCK();
    if (binding.module != nullptr) return;
    binding.module = static_cast<HMODULE>(platform::library_load("dbghelp.dll"));
    if (binding.module == nullptr) return;
    if (!bind_all(binding.functions)) return dbghelp_unbind();
    bind_function("SymRefreshModuleList", binding.sym_refresh_module_list);
}

void dbghelp_unbind() {
    TARVEX_CHECK_BINDING_LOCK();
    if (binding.module != nullptr) platform::library_unload(binding.module);
    binding.module = nullptr;
    binding.functions = DbgHelpFunctions{};
    binding.sym_refresh_module_list = nullptr;
}

}  // namespace tarvex
