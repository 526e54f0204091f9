#include "debughelp/line_info.h"

#include <elfutils/libdwfl.h>

#include "platform/platform.h"

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
