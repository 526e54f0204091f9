// A plug-in whose start-up allocates through the library while the system
// loader holds its lock: a constructor of the shared object on POSIX,
// DllMain on Windows. Before it allocates it calls the host's
// "plugin_starting", which lets the host time a dump against it. Unloading
// gives the block back.
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

constexpr uint32_t plugin_context = 0x40;
void* block = nullptr;

void attach() {
#if defined(_WIN32)
    FARPROC found = GetProcAddress(GetModuleHandleA(nullptr), "plugin_starting");
#else
    void* found = dlsym(RTLD_DEFAULT, "plugin_starting");
#endif
    if (found != nullptr) reinterpret_cast<void (*)()>(found)();
    block = Tarvex::std_alloc(48, plugin_context);
}

void detach() {
    Tarvex::std_free(block, plugin_context);
}

}  // namespace

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) attach();
    if (reason == DLL_PROCESS_DETACH) detach();
    return TRUE;
}
#else
__attribute__((constructor)) static void plugin_load() {
    attach();
}
__attribute__((destructor)) static void plugin_unload() {
    detach();
}
#endif
