// Windows back end of the platform contract.
#include <winsock2.h>
// winsock2.h before windows.h, which would bring the old winsock.
#include <io.h>
#include <malloc.h>
#include <windows.h>
// psapi.h needs windows.h first; its functions are kernel32's K32 ones.
#include <psapi.h>

#include <cstdlib>

#include "base/errors.h"
#include "platform/platform.h"

namespace tarvex::platform {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(SystemLock), "a critical section fits the lock");

namespace {
CRITICAL_SECTION* as_section(SystemLock* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

const CRITICAL_SECTION* as_section(const SystemLock* lock) {
    return reinterpret_cast<const CRITICAL_SECTION*>(lock->storage);
}
}  // namespace

void lock_create(SystemLock* lock, uint32_t spin_count) {
    InitializeCriticalSectionAndSpinCount(as_section(lock), spin_count);
}

void lock_enter(SystemLock* lock) {
    EnterCriticalSection(as_section(lock));
}

bool lock_try_enter(SystemLock* lock) {
    return TryEnterCriticalSection(as_section(lock)) != FALSE;
}

void lock_leave(SystemLock* lock) {
    TARVEX_CHECK(lock_held_by_current_thread(lock), "the calling thread holds the lock");
    LeaveCriticalSection(as_section(lock));
}

bool lock_held_by_current_thread(const SystemLock* lock) {
    // The section keeps its owner's thread id in a HANDLE-sized field (zero
    // when free), written by other threads as they enter and leave.
    const volatile HANDLE& owner = as_section(lock)->OwningThread;
    return reinterpret_cast<uintptr_t>(owner) == static_cast<uintptr_t>(GetCurrentThreadId());
}

void lock_destroy(SystemLock* lock) {
    DeleteCriticalSection(as_section(lock));
}

// ---------------------------------------------------------------------------
// The thread slot
//
// One TLS index, taken on first use: TlsAlloc gives every thread the slot,
// threads that ran before the library was loaded too. Its value is read
// straight from the thread's own block (see platform.h) while the index is
// below 64, else through TlsGetValue.
// ---------------------------------------------------------------------------

uint32_t thread_slot_index = TLS_OUT_OF_INDEXES;

namespace {
INIT_ONCE slot_index_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK take_slot_index(PINIT_ONCE, PVOID, PVOID*) {
    __atomic_store_n(&thread_slot_index, TlsAlloc(), __ATOMIC_RELEASE);
    return TRUE;
}
}  // namespace

void* thread_slot_beyond_the_block() {
    const DWORD index = __atomic_load_n(&thread_slot_index, __ATOMIC_ACQUIRE);
    return index == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(index);
}

bool set_thread_slot(void* value) {
    InitOnceExecuteOnce(&slot_index_once, take_slot_index, nullptr, nullptr);
    const DWORD index = __atomic_load_n(&thread_slot_index, __ATOMIC_ACQUIRE);
    return index != TLS_OUT_OF_INDEXES && TlsSetValue(index, value);
}

void release_thread_slot_index() {
    const DWORD index =
        __atomic_exchange_n(&thread_slot_index, TLS_OUT_OF_INDEXES, __ATOMIC_ACQ_REL);
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
}

void debug_output(const char* text) {
    OutputDebugStringA(text);
}

uint32_t current_thread_id() {
    return GetCurrentThreadId();
}

uint32_t current_process_id() {
    return GetCurrentProcessId();
}

uint64_t monotonic_ms() {
    return GetTickCount64();
}

bool executable_path(char* out, size_t capacity) {
    if (capacity == 0) return false;
    const DWORD n =
        GetModuleFileNameA(GetModuleHandleA(nullptr), out, static_cast<DWORD>(capacity));
    if (n == 0 || n >= capacity) {
        out[0] = '\0';
        return false;
    }
    return true;
}

std::FILE* open_regular_file(const char* path) {
    // A directory, a device (CON, NUL, COM1) or a pipe reached through the
    // name is no configuration file; the attributes tell without opening it.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return nullptr;
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

size_t heap_block_size(void* block) {
    return _msize(block);
}

void* library_load(const char* name) {
    return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void library_unload(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

bool code_location(uintptr_t address, char* module, size_t capacity, const char** symbol) {
    // The loader names modules but not symbols; those come from dbghelp.
    *symbol = nullptr;
    if (capacity != 0) module[0] = '\0';
    HMODULE owner = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(address), &owner)) {
        return false;
    }
    if (capacity != 0) {
        const DWORD n = GetModuleFileNameA(owner, module, static_cast<DWORD>(capacity));
        if (n == 0) module[0] = '\0';
        if (n >= capacity) module[capacity - 1] = '\0';
    }
    return true;
}

bool for_each_module(void (*visit)(const ModuleImage& module, void* user), void* user) {
    // The loader's list as it stands, read in place: unlike a tool-help
    // snapshot this starts no thread, so it also works inside DllMain at
    // process detach. A list that grows between the two calls is asked for
    // again.
    HANDLE process = GetCurrentProcess();
    HMODULE first[256];
    HMODULE* handles = first;
    DWORD capacity = sizeof(first);
    DWORD needed = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!K32EnumProcessModules(process, handles, capacity, &needed)) break;
        if (needed <= capacity) break;
        if (handles != first) std::free(handles);
        capacity = needed + 16 * sizeof(HMODULE);
        handles = static_cast<HMODULE*>(std::malloc(capacity));
        if (handles == nullptr) return false;
        needed = 0;
    }
    const bool listed = needed != 0 && needed <= capacity;
    for (DWORD i = 0; listed && i < needed / sizeof(HMODULE); ++i) {
        MODULEINFO info;
        char path[MAX_PATH + 1];
        if (!K32GetModuleInformation(process, handles[i], &info, sizeof(info))) continue;
        const DWORD n = GetModuleFileNameA(handles[i], path, MAX_PATH);
        path[n < MAX_PATH ? n : MAX_PATH] = '\0';
        visit(ModuleImage{path, reinterpret_cast<uintptr_t>(info.lpBaseOfDll), info.SizeOfImage},
              user);
    }
    if (handles != first) std::free(handles);
    return listed;
}

// ---------------------------------------------------------------------------
// Sockets (Winsock)
//
// Winsock is started with the first listener, never at the library's attach:
// WSAStartup may load libraries, which must not happen under the loader's
// lock.
// ---------------------------------------------------------------------------

namespace {
bool winsock_started() {
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    return started;
}

bool would_block() {
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

void make_non_blocking(SOCKET socket) {
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}
}  // namespace

Socket socket_listen(uint32_t address, uint16_t port) {
    if (!winsock_started()) return no_socket;
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return no_socket;
    // Without it another process could bind the same port over ours.
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof(exclusive));
    make_non_blocking(listener);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        listen(listener, 4) != 0) {
        closesocket(listener);
        return no_socket;
    }
    return static_cast<Socket>(listener);
}

uint16_t socket_bound_port(Socket listener) {
    sockaddr_in where = {};
    int size = sizeof(where);
    if (getsockname(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&where), &size) != 0)
        return 0;
    return ntohs(where.sin_port);
}

Socket socket_accept(Socket listener) {
    const SOCKET peer = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (peer == INVALID_SOCKET) return no_socket;
    make_non_blocking(peer);
    BOOL on = TRUE;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return static_cast<Socket>(peer);
}

long socket_send(Socket socket, const void* data, size_t size) {
    const int sent = send(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                          static_cast<int>(size > 0x7fffffff ? 0x7fffffff : size), 0);
    if (sent != SOCKET_ERROR) return sent;
    return would_block() ? 0 : -1;
}

long socket_receive(Socket socket, void* buffer, size_t size) {
    const int got = recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer),
                         static_cast<int>(size > 0x7fffffff ? 0x7fffffff : size), 0);
    if (got > 0) return got;
    if (got == 0) return -1;
    return would_block() ? 0 : -1;
}

void socket_close(Socket socket) {
    if (socket != no_socket) closesocket(static_cast<SOCKET>(socket));
}

}  // namespace tarvex::platform

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            tarvex::platform::system_notifications.process_attach();
            break;
        case DLL_THREAD_DETACH:
            if (void* slot = tarvex::platform::thread_slot()) {
                tarvex::platform::set_thread_slot(nullptr);
                tarvex::platform::system_notifications.thread_exit(slot);
            }
            break;
        case DLL_PROCESS_DETACH:
            // The reserved argument is set when the process is ending, null
            // for a FreeLibrary while it runs on.
            tarvex::platform::system_notifications.process_detach(reserved != nullptr);
            tarvex::platform::release_thread_slot_index();
            break;
        default:
            break;
    }
    return TRUE;
}
