// The contract between the library and the operating system.
//
// Every system primitive the library uses is declared here and implemented
// once per system (win32.cpp, posix.cpp); the build picks one. Nothing else in
// the library includes a system header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cstdio>

namespace tarvex::platform {

// Storage for a re-entrant system lock (a critical section on Windows, a
// futex lock on POSIX). Opaque so that no system header leaks out.
struct alignas(8) SystemLock {
    unsigned char storage[64];
};

// pre: `lock` is not live. Creates it with the given spin count: a thread that
// finds the lock held tests it this many times before it sleeps (none on a
// machine with one processor).
void lock_create(SystemLock* lock, uint32_t spin_count);
// pre: `lock` is live. Re-entrant for the thread that holds it.
void lock_enter(SystemLock* lock);
// pre: `lock` is live. Enters it only when that needs no wait (free, or held
// by the calling thread); false, without waiting, otherwise.
bool lock_try_enter(SystemLock* lock);
// pre: the calling thread holds `lock`.
void lock_leave(SystemLock* lock);
// pre: `lock` is live. True when the calling thread holds it.
bool lock_held_by_current_thread(const SystemLock* lock);
// pre: `lock` is live and not held. Afterwards it is not live.
void lock_destroy(SystemLock* lock);

// ---------------------------------------------------------------------------
// The thread slot: one pointer of the calling thread's own, null until the
// thread sets it. It exists for every thread, those that ran before the
// library was loaded (LoadLibrary after threads exist) included. When a
// thread whose slot is set ends, the library is told, with the slot's value, on
// that thread, while it can still run code. Reading it is the hot path of
// the thread caches, so it is inline: on 32-bit Windows one read of the
// thread's own block (its TLS slots, where TlsGetValue reads), on POSIX one
// read of an initial-exec thread-local variable.
// ---------------------------------------------------------------------------

#if defined(_WIN32) && defined(__i386__)
// The slot's TLS index, or none (at least 64) before the first set.
extern uint32_t thread_slot_index;
void* thread_slot_beyond_the_block();
inline void* thread_slot() {
    const uint32_t index = thread_slot_index;
    // The thread environment block keeps the first 64 TLS slots at 0xe10.
    if (index >= 64) return thread_slot_beyond_the_block();
    void* value;
    __asm__("movl %%fs:0xe10(,%1,4), %0" : "=r"(value) : "r"(index));
    return value;
}
#elif defined(_WIN32)
void* thread_slot();
#else
extern __thread void* thread_slot_value __attribute__((tls_model("initial-exec")));
inline void* thread_slot() {
    return thread_slot_value;
}
#endif
// False when the system has no slot left for the library; the slot then
// stays null.
bool set_thread_slot(void* value);

// Hands one line to the system's debug output.
void debug_output(const char* text);

uint32_t current_thread_id();
uint32_t current_process_id();

// Milliseconds of a clock that only goes forward (not the time of day, which
// the user may set back), from an arbitrary origin.
uint64_t monotonic_ms();

// Writes the full path of the host's executable, zero-terminated and cut to
// fit; returns false (and an empty text) when the system cannot tell.
bool executable_path(char* out, size_t capacity);

// Opens a file for reading in text mode only when it is a regular file,
// without ever blocking on the opening itself (a FIFO, a device); null
// otherwise.
std::FILE* open_regular_file(const char* path);

// Size the runtime heap reports for a block of malloc. pre: block came from
// malloc and is live.
size_t heap_block_size(void* block);

// Run-time loading of a system library by name; null or false on failure.
void* library_load(const char* name);
void* library_symbol(void* library, const char* name);
void library_unload(void* library);

// Looks a function up by name and stores it in `slot` with its own type;
// false (and a null slot) when the library has no such name.
template <typename Func>
bool bind_symbol(void* library, const char* name, Func& slot) {
    void* address = library_symbol(library, name);
    slot = reinterpret_cast<Func>(address);
    return address != nullptr;
}

// What the dynamic linker knows of a code address: the path of the loaded
// module that contains it, cut to fit `module` (zero-terminated), and the
// exported symbol it lies in, or null. The symbol text belongs to the system
// and stays valid while the module is loaded. False when no loaded module
// contains the address.
bool code_location(uintptr_t address, char* module, size_t capacity, const char** symbol);

// One module loaded in the process: its path (valid only during the visit),
// where its image starts in memory and how many bytes it spans.
struct ModuleImage {
    const char* path;
    uintptr_t base;
    size_t size;
};

// Calls `visit` once for every module loaded in the process, the executable
// included, in the system's order; false when the system could not list
// them. It reads the loader's list under the loader's own lock.
// pre: the library lock is not held (see registry/registry.h), except at the
// final shutdown, whose thread holds the loader's lock already.
bool for_each_module(void (*visit)(const ModuleImage& module, void* user), void* user);

// ---------------------------------------------------------------------------
// TCP sockets, non-blocking: the live view's listener and its one viewer.
// No call ever waits; each says at once what it could do. Addresses are IPv4
// in host order (0x7f000001 is 127.0.0.1).
// ---------------------------------------------------------------------------

// A socket of the system, or `no_socket`.
using Socket = intptr_t;
constexpr Socket no_socket = -1;

// A listening socket on address:port, the port alone (no other process
// may take it while it is held); `no_socket` when it cannot be had (the port
// in use, no network stack). Port 0 takes a free port: `bound_port` tells
// which.
Socket socket_listen(uint32_t address, uint16_t port);
uint16_t socket_bound_port(Socket listener);
// A connection waiting on the listener, made non-blocking; `no_socket`
// when none waits.
Socket socket_accept(Socket listener);
// Bytes sent (possibly fewer than asked), 0 when the peer's window is full,
// -1 when the connection is gone (reset, closed). Never raises a signal.
long socket_send(Socket socket, const void* data, size_t size);
// Bytes received, 0 when none wait, -1 when the peer closed the connection
// or it is gone.
long socket_receive(Socket socket, void* buffer, size_t size);
void socket_close(Socket socket);

}  // namespace tarvex::platform

// What the system tells the library, and the library's answers: the platform
// back end calls them when the system loads and unloads the shared library
// (telling an unload while the process runs on from the process's end, after
// which the libraries finalised later may still call the library),
// when a thread whose slot is set ends (with the slot's value), and, where
// processes fork, around every fork: before it (take every lock of the
// library, so that no lock is held by a thread the child will not have), and
// after it in the parent and in the child (release them again). Declared
// here, defined by the library's core, which knows what to do: the one way
// this layer calls up.
namespace tarvex::platform {
struct SystemNotifications {
    void (*process_attach)();
    void (*process_detach)(bool process_ending);
    void (*before_fork)();
    void (*after_fork_in_parent)();
    void (*after_fork_in_child)();
    void (*thread_exit)(void* thread_slot);
};
extern const SystemNotifications system_notifications;
}  // namespace tarvex::platform
