// "BackTraceMode: 2": dumps of the state and of a thread's own stack while
// the main thread loads and unloads a plug-in whose start-up allocates
// through the library. The dumps resolve frames with the system's symbol
// lookups, which may wait for the loader's lock; the plug-in allocates while
// the loader holds that lock. Neither may wait for the other: a watchdog
// fails the run when it does not end in time. First one dump is made while
// the plug-in's start-up waits (the deadlock of old, every time), then two
// threads dump without pause through many loads. The dumps must still name
// their frames.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/file_check.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#define HOST_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <unistd.h>
#define HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr uint32_t plugin_context = 0x40;
// Loads go on until both kinds of dump have overlapped many of them.
constexpr uint32_t min_loads = 150;
constexpr uint32_t min_dumps = 20;
constexpr auto load_time_limit = std::chrono::seconds(5);
constexpr auto run_limit = std::chrono::seconds(30);

std::atomic<uint32_t> loads{0};
std::atomic<uint32_t> state_dumps{0};
std::atomic<uint32_t> stack_dumps{0};
std::atomic<bool> loading_done{false};
std::atomic<bool> finished{false};
std::atomic<int> threads_running{0};

// The first load's start-up waits until the first dump has begun, and a
// little longer, so that the dump runs its lookups while the loader holds
// its lock and the start-up's allocation comes while the dump runs.
std::atomic<bool> gate_armed{true};
std::atomic<bool> plugin_waiting{false};
std::atomic<bool> first_dump_begun{false};

// What the stack dumps logged: their first frames, and how many named the
// function that asked for the dump.
std::atomic<uint32_t> first_frames{0};
std::atomic<uint32_t> named_first_frames{0};

void count_stack_lines(const char* text, bool) {
    if (std::strstr(text, " D:0 ") == nullptr) return;
    ++first_frames;
    if (std::strstr(text, "dump_own_stack") != nullptr) ++named_first_frames;
}

[[noreturn]] void fail_hard(const char* why) {
    std::printf("%s (loads %u, state dumps %u, stack dumps %u)\n", why, loads.load(),
                state_dumps.load(), stack_dumps.load());
    std::fflush(stdout);
    // Not exit: with the loader's lock held by a stuck thread, the
    // process's own shutdown would hang as well.
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 3);
#endif
    _exit(3);
}

// A deadlock would leave the run unfinished; it then fails instead of
// hanging.
void watch() {
    ++threads_running;
    const auto deadline = std::chrono::steady_clock::now() + run_limit;
    while (!finished) {
        if (std::chrono::steady_clock::now() > deadline) fail_hard("deadlock: the run did not end");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

__attribute__((noinline)) void* allocate_listed_block() {
    void* block = Tarvex::std_alloc(24, plugin_context);
    __asm__ volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void dump_own_stack() {
    Tarvex::dump_stack_trace();
    __asm__ volatile("" ::: "memory");
}

void dump_states() {
    ++threads_running;
    while (stack_dumps == 0) std::this_thread::yield();
    while (!loading_done) {
        Tarvex::dump_state("state.xml", 0);
        ++state_dumps;
    }
}

void dump_stacks() {
    ++threads_running;
    while (!plugin_waiting) std::this_thread::yield();
    first_dump_begun = true;
    dump_own_stack();
    ++stack_dumps;
    while (!loading_done) {
        dump_own_stack();
        ++stack_dumps;
    }
}

std::string plugin_path() {
    char path[1024] = {};
#if defined(_WIN32)
    GetModuleFileNameA(nullptr, path, sizeof(path) - 1);
    const char* name = "loader_plugin.dll";
#else
    if (readlink("/proc/self/exe", path, sizeof(path) - 1) < 0) return "";
    const char* name = "loader_plugin.so";
#endif
    std::string text = path;
    return text.substr(0, text.find_last_of("/\\") + 1) + name;
}

bool load_and_unload(const std::string& path) {
#if defined(_WIN32)
    HMODULE plugin = LoadLibraryA(path.c_str());
    if (plugin == nullptr) return false;
    FreeLibrary(plugin);
#else
    void* plugin = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) return false;
    dlclose(plugin);
#endif
    return true;
}

}  // namespace

// Called by the plug-in's start-up, with the loader's lock held.
HOST_EXPORT void plugin_starting() {
    if (!gate_armed.exchange(false)) return;
    plugin_waiting = true;
    while (!first_dump_begun) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int main() {
    Tarvex::context_init(Tarvex::ContextBase("Plug-ins", plugin_context));
    Tarvex::the_config.log_func = count_stack_lines;
    void* listed[4];
    for (void*& block : listed) block = allocate_listed_block();
    const std::string path = plugin_path();

    // Every thread runs before the first load: on Windows a thread cannot
    // start while another runs DllMain.
    std::thread watchdog(watch);
    std::thread state_dumper(dump_states);
    std::thread stack_dumper(dump_stacks);
    while (threads_running < 3) std::this_thread::yield();

    const auto start = std::chrono::steady_clock::now();
    bool loaded = true;
    while (loaded && (loads < min_loads || state_dumps < min_dumps || stack_dumps < min_dumps) &&
           std::chrono::steady_clock::now() - start < load_time_limit) {
        loaded = load_and_unload(path);
        ++loads;
    }
    // Without a single load the dumps must not wait for the plug-in.
    plugin_waiting = true;
    loading_done = true;
    state_dumper.join();
    stack_dumper.join();
    finished = true;
    watchdog.join();
    SCENARIO_CHECK(loaded);
    SCENARIO_CHECK(state_dumps > 0 && stack_dumps > 1);
    std::printf("loads %u, state dumps %u, stack dumps %u\n", loads.load(), state_dumps.load(),
                stack_dumps.load());

    // Frames resolved while the other dumps ran, and dropped by them, are
    // still named when written.
    SCENARIO_CHECK(first_frames > 0);
    SCENARIO_CHECK(named_first_frames == first_frames);
    Tarvex::dump_state("final.xml", 0);
    const std::string report = read_file("final.xml");
    SCENARIO_CHECK(report.find("<Allocations Count=\"4\" />") != std::string::npos);
    SCENARIO_CHECK(report.find("allocate_listed_block") != std::string::npos);

    for (void* block : listed) Tarvex::std_free(block, plugin_context);
    return scenario_result();
}
