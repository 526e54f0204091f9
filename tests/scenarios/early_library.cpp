// A library the loader starts before Tarvex and finalises after it, as a
// game's sound or script library is. Its start-up allocates through the
// library before the library's own attach has run: on Linux through the
// game's global new, which serves every library of the process; on Windows,
// where a DLL's new is its own, through the exported functions found at run
// time. Its finalisation frees what it holds and allocates once more, after
// Tarvex's detach.
#include <cstddef>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#define EARLY_EXPORT extern "C" __declspec(dllexport)
#else
#define EARLY_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

#if defined(_WIN32)
using MallocFunc = void*(__cdecl*)(unsigned);
using FreeFunc = void(__cdecl*)(void*);

// The DLL does not import tarvex.dll, so the loader may start it first; the
// DLL is mapped by then, as an import of the game.
template <typename Func>
Func tarvex_function(const char* name) {
    return reinterpret_cast<Func>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("tarvex.dll"), name)));
}
void* take(std::size_t size) {
    return tarvex_function<MallocFunc>("tarvex_malloc")(static_cast<unsigned>(size));
}
void give(void* block) {
    tarvex_function<FreeFunc>("tarvex_free")(block);
}
#else
void* take(std::size_t size) {
    return ::operator new(size);
}
void give(void* block) {
    ::operator delete(block);
}
#endif

std::vector<void*>* held = nullptr;

void start() {
    held = new std::vector<void*>;
    for (std::size_t i = 0; i < 100; ++i) held->push_back(take(16 + i));
}

// Walks what it holds, frees it, and allocates once more.
void finish() {
    for (void* block : *held) give(block);
    delete held;
    held = nullptr;
    give(take(48));
}

}  // namespace

EARLY_EXPORT int early_library_blocks() {
    return held != nullptr ? static_cast<int>(held->size()) : -1;
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) start();
    if (reason == DLL_PROCESS_DETACH) finish();
    return TRUE;
}
#else
__attribute__((constructor)) void early_library_start() {
    start();
}
__attribute__((destructor)) void early_library_finish() {
    finish();
}
#endif
