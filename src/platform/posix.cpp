// POSIX back end of the platform contract.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "platform/platform.h"

namespace tarvex::platform {

// ---------------------------------------------------------------------------
// Re-entrant lock
//
// A futex word plus an owner: an uncontended enter or leave is one atomic
// operation, where a recursive pthread mutex costs several calls and checks.
// The word is 0 when free, 1 when held, 2 when held with waiters. A thread
// that finds it held spins first, as a critical section does: the holders of
// the library's locks keep them for a few dozen instructions, far less than
// the two system calls of a park and a wake.
//
// Only the atomics order the lock for ThreadSanitizer: acquire on every
// change of the word that takes the lock, release on the one that frees it;
// the futex calls carry no ordering of their own.
// ---------------------------------------------------------------------------
namespace {

struct FutexLock {
    std::atomic<uint32_t> word;
    uint32_t spin_count;
    std::atomic<uintptr_t> owner;
    uint32_t depth;
};
static_assert(sizeof(FutexLock) <= sizeof(SystemLock), "the lock fits its opaque storage");

FutexLock* as_futex_lock(SystemLock* lock) {
    return reinterpret_cast<FutexLock*>(lock->storage);
}

const FutexLock* as_futex_lock(const SystemLock* lock) {
    return reinterpret_cast<const FutexLock*>(lock->storage);
}

// The thread pointer: one register read, and distinct for every live thread.
uintptr_t self_id() {
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
}

void cpu_relax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#else
    __asm__ __volatile__("" ::: "memory");
#endif
}

// On one processor the holder cannot run while another thread spins, so a
// spin only delays the park; a critical section ignores its count there too.
uint32_t effective_spin_count(uint32_t asked) {
    static const bool one_processor = sysconf(_SC_NPROCESSORS_ONLN) <= 1;
    return one_processor ? 0 : asked;
}

void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
}

void futex_wake_one(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
            0);
}

// A spinner waits this many pauses before it first tests the word, then twice
// as long between tests, up to the longest. Each test pulls the word's cache
// line away from the holder, and a won test moves the lock and the data it
// guards to the other core, whose old holder then spins in turn. Two threads
// that test on every pause hand a shared context from core to core on nearly
// every operation, at a tenth of one thread's throughput; spaced out, the
// holder runs long stretches at its own speed.
constexpr uint32_t first_backoff = 16;
constexpr uint32_t longest_backoff = 256;

// The contended path, out of line so the uncontended one stays short. The
// spin count is counted in pauses. A spinner takes a free word as 1 even when
// others are parked: the woken one then finds it held and marks it 2 again
// before it parks, so the holder's leave still wakes the next. Once parked, a
// thread takes the word only as 2, since it cannot tell whether others still
// wait.
__attribute__((noinline)) void enter_contended(FutexLock* l) {
    uint32_t backoff = first_backoff;
    for (uint32_t spins = 0; spins < l->spin_count;) {
        const uint32_t pauses = std::min(backoff, l->spin_count - spins);
        for (uint32_t i = 0; i < pauses; ++i) cpu_relax();
        spins += pauses;
        uint32_t seen = l->word.load(std::memory_order_relaxed);
        if (seen == 0 && l->word.compare_exchange_weak(seen, 1, std::memory_order_acquire,
                                                       std::memory_order_relaxed)) {
            return;
        }
        if (backoff < longest_backoff) backoff *= 2;
    }
    while (l->word.exchange(2, std::memory_order_acquire) != 0) futex_wait(&l->word, 2);
}

}  // namespace

void lock_create(SystemLock* lock, uint32_t spin_count) {
    new (lock->storage) FutexLock{{0}, effective_spin_count(spin_count), {0}, 0};
}

void lock_enter(SystemLock* lock) {
    FutexLock* l = as_futex_lock(lock);
    const uintptr_t self = self_id();
    // Only this thread ever stores its own identity here, so a stale value
    // read by another thread can never match.
    if (l->owner.load(std::memory_order_relaxed) == self) {
        ++l->depth;
        return;
    }
    uint32_t seen = 0;
    if (!l->word.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        enter_contended(l);
    }
    l->owner.store(self, std::memory_order_relaxed);
    l->depth = 1;
}

// lock_enter without its contended path. Written apart, so that the
// uncontended path of lock_enter, which every pooled allocation takes,
// compiles as it always has.
bool lock_try_enter(SystemLock* lock) {
    FutexLock* l = as_futex_lock(lock);
    const uintptr_t self = self_id();
    if (l->owner.load(std::memory_order_relaxed) == self) {
        ++l->depth;
        return true;
    }
    uint32_t seen = 0;
    if (!l->word.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        return false;
    }
    l->owner.store(self, std::memory_order_relaxed);
    l->depth = 1;
    return true;
}

void lock_leave(SystemLock* lock) {
    TARVEX_CHECK(lock_held_by_current_thread(lock), "the calling thread holds the lock");
    FutexLock* l = as_futex_lock(lock);
    if (--l->depth != 0) return;
    l->owner.store(0, std::memory_order_relaxed);
    if (l->word.exchange(0, std::memory_order_release) == 2) futex_wake_one(&l->word);
}

bool lock_held_by_current_thread(const SystemLock* lock) {
    return as_futex_lock(lock)->owner.load(std::memory_order_relaxed) == self_id();
}

void lock_destroy(SystemLock* lock) {
    as_futex_lock(lock)->~FutexLock();
}

// ---------------------------------------------------------------------------
// The thread slot
//
// The value lives in an initial-exec thread-local variable, one read at a
// fixed offset from the thread pointer; a key with a destructor, set beside
// it, tells when a thread ends. The key goes when the library is unloaded,
// so no thread ends into unloaded code.
// ---------------------------------------------------------------------------

__thread void* thread_slot_value __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

pthread_key_t thread_exit_key;
std::atomic<bool> thread_exit_key_made{false};

void thread_ends(void* value) {
    thread_slot_value = nullptr;
    if (value != nullptr) system_notifications.thread_exit(value);
}

}  // namespace

void make_thread_exit_key() {
    if (pthread_key_create(&thread_exit_key, thread_ends) == 0)
        thread_exit_key_made.store(true, std::memory_order_release);
}

void delete_thread_exit_key() {
    if (thread_exit_key_made.exchange(false)) pthread_key_delete(thread_exit_key);
}

bool set_thread_slot(void* value) {
    if (!thread_exit_key_made.load(std::memory_order_acquire)) return false;
    if (pthread_setspecific(thread_exit_key, value) != 0) return false;
    thread_slot_value = value;
    return true;
}

// ---------------------------------------------------------------------------
// Identity, output, heap, loading
// ---------------------------------------------------------------------------

void debug_output(const char* text) {
    const size_t length = std::strlen(text);
    size_t written = 0;
    while (written < length) {
        const ssize_t n = write(STDERR_FILENO, text + written, length - written);
        if (n <= 0) return;
        written += static_cast<size_t>(n);
    }
}

uint32_t current_thread_id() {
    static thread_local uint32_t cached = 0;
    if (cached == 0) cached = static_cast<uint32_t>(syscall(SYS_gettid));
    return cached;
}

uint32_t current_process_id() {
    return static_cast<uint32_t>(getpid());
}

uint64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

bool executable_path(char* out, size_t capacity) {
    if (capacity == 0) return false;
    const ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
    if (n <= 0) {
        out[0] = '\0';
        return false;
    }
    out[n] = '\0';
    return true;
}

std::FILE* open_regular_file(const char* path) {
    // Opened without waiting for a writer, checked, and only then handed to
    // stdio in blocking mode.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "r");
    if (file == nullptr) close(fd);
    return file;
}

size_t heap_block_size(void* block) {
    return malloc_usable_size(block);
}

void* library_load(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* library_symbol(void* library, const char* name) {
    return dlsym(library, name);
}

void library_unload(void* library) {
    dlclose(library);
}

bool code_location(uintptr_t address, char* module, size_t capacity, const char** symbol) {
    *symbol = nullptr;
    if (capacity != 0) module[0] = '\0';
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0) return false;
    if (capacity != 0 && info.dli_fname != nullptr) {
        std::strncpy(module, info.dli_fname, capacity - 1);
        module[capacity - 1] = '\0';
    }
    *symbol = info.dli_sname;
    return true;
}

namespace {

struct ModuleVisit {
    void (*visit)(const ModuleImage& module, void* user);
    void* user;
};

// The image spans its loadable segments: from the lowest one's start to the
// highest one's end, moved by the load bias.
int visit_loaded_object(struct dl_phdr_info* info, size_t, void* argument) {
    const ModuleVisit& walk = *static_cast<const ModuleVisit*>(argument);
    uintptr_t lowest = UINTPTR_MAX;
    uintptr_t highest = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        lowest = std::min<uintptr_t>(lowest, segment.p_vaddr);
        highest = std::max<uintptr_t>(highest, segment.p_vaddr + segment.p_memsz);
    }
    if (lowest >= highest) return 0;
    // The executable comes first, without a name of its own.
    char executable[4096];
    const char* path = info->dlpi_name;
    if (path == nullptr || path[0] == '\0') {
        path = executable_path(executable, sizeof(executable)) ? executable : "";
    }
    walk.visit(ModuleImage{path, info->dlpi_addr + lowest, highest - lowest}, walk.user);
    return 0;
}

}  // namespace

bool for_each_module(void (*visit)(const ModuleImage& module, void* user), void* user) {
    ModuleVisit walk = {visit, user};
    dl_iterate_phdr(visit_loaded_object, &walk);
    return true;
}

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

Socket socket_listen(uint32_t address, uint16_t port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return no_socket;
    // A port whose last viewer's connection still lingers (TIME_WAIT) is
    // free again; two listeners on one port stay impossible on Linux.
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        listen(listener, 4) != 0) {
        close(listener);
        return no_socket;
    }
    return listener;
}

uint16_t socket_bound_port(Socket listener) {
    sockaddr_in where = {};
    socklen_t size = sizeof(where);
    if (getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&where), &size) != 0)
        return 0;
    return ntohs(where.sin_port);
}

Socket socket_accept(Socket listener) {
    const int peer =
        accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (peer < 0) return no_socket;
    const int on = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return peer;
}

long socket_send(Socket socket, const void* data, size_t size) {
    const ssize_t sent = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

long socket_receive(Socket socket, void* buffer, size_t size) {
    const ssize_t got = recv(static_cast<int>(socket), buffer, size, MSG_DONTWAIT);
    if (got > 0) return static_cast<long>(got);
    if (got == 0) return -1;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void socket_close(Socket socket) {
    if (socket != no_socket) close(static_cast<int>(socket));
}

}  // namespace tarvex::platform

namespace {

// The destructors of a shared object run at dlclose and at the process's end
// alike, and the system says nothing of which. An unload runs them from
// inside dlclose, whose frame is on the stack then; the process's end never
// is. A stack that cannot be read counts as the process's end, which keeps
// every context serving, the safe choice for code still to run.
bool unloading_by_dlclose() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) != 0 && info.dli_sname != nullptr &&
            std::strstr(info.dli_sname, "dlclose") != nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

// The shared object's load and unload stand in for the process attach and
// detach notifications of a Windows DLL.
__attribute__((constructor)) static void tarvex_attach() {
    // Registered by a shared object, the handlers go again when it is
    // unloaded.
    const tarvex::platform::SystemNotifications& tell = tarvex::platform::system_notifications;
    pthread_atfork(tell.before_fork, tell.after_fork_in_parent, tell.after_fork_in_child);
    tarvex::platform::make_thread_exit_key();
    tell.process_attach();
}
__attribute__((destructor)) static void tarvex_detach() {
    tarvex::platform::system_notifications.process_detach(!unloading_by_dlclose());
    tarvex::platform::delete_thread_exit_key();
}
