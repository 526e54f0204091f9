// Source files and lines on POSIX, from elfutils' libdw when the system has
// it: loaded at run time by name, so the library needs nothing beyond the C
// runtime to load, and lines are simply unknown without it.
#pragma once

#include <stdint.h>

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
