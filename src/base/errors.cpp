#include "base/errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"

// The host's configuration record, read by the log sink and the break point.
Tarvex::Config Tarvex::the_config = {nullptr, nullptr};

namespace tarvex {

namespace {

struct ErrorText {
    const char* message;
    bool flag;
};

const ErrorText unknown_error = {"Tarvex: ERROR: unknown\n", true};

const ErrorText error_texts[] = {
    {"Tarvex: ERROR: Block exceeds limits\n", false},
    {"Tarvex: ERROR: Invalid grow count\n", true},
    unknown_error,
    unknown_error,
    {"Tarvex: ERROR: Invalid pointer specified\n", false},
    {"Tarvex: ERROR: MemTrack context mismatch\n", false},
    {"Tarvex: ERROR: tracking duplicate entry. \n", true},
    {"Tarvex: ERROR: Context not set\n", true},
    {"Tarvex: ERROR: Single threaded Memory Context is used from multiple Threads\n", true},
};

constexpr size_t line_capacity = 1024;

}  // namespace

// The host writes the_config as plain data; the library reads and writes it
// atomically so that its own accesses never race with each other.
Tarvex::LogFunc current_log_func() {
    return __atomic_load_n(&Tarvex::the_config.log_func, __ATOMIC_ACQUIRE);
}

void set_log_func(Tarvex::LogFunc sink) {
    __atomic_store_n(&Tarvex::the_config.log_func, sink, __ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------
// The log file
//
// "LogFile:" in tarvex.ini: every line also goes to a file, whatever the
// sink, so that a tester sees what the debugger output would have shown. A
// leaf lock of its own keeps lines whole and the file alive while one is
// written: the lines come from under any of the library's locks.
// ---------------------------------------------------------------------------

namespace {

std::atomic_flag log_file_busy = ATOMIC_FLAG_INIT;
std::FILE* log_file = nullptr;

class LogFileHold {
public:
    LogFileHold() {
        while (log_file_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~LogFileHold() { log_file_busy.clear(std::memory_order_release); }
    LogFileHold(const LogFileHold&) = delete;
    LogFileHold& operator=(const LogFileHold&) = delete;
};

void write_to_log_file(const char* line) {
    LogFileHold hold;
    if (log_file == nullptr) return;
    std::fputs(line, log_file);
    std::fflush(log_file);
}

// Every line of the library leaves here.
void emit(const char* line, bool flag) {
    write_to_log_file(line);
    if (const Tarvex::LogFunc sink = current_log_func()) sink(line, flag);
}

}  // namespace

bool log_file_open(const char* path) {
    // Binary: the file holds the very bytes the sink is given.
    std::FILE* opened = std::fopen(path, "wb");
    LogFileHold hold;
    if (log_file != nullptr) std::fclose(log_file);
    log_file = opened;
    return opened != nullptr;
}

void log_file_close() {
    LogFileHold hold;
    if (log_file != nullptr) std::fclose(log_file);
    log_file = nullptr;
}

void report_error(uint32_t code) {
    const size_t known = sizeof(error_texts) / sizeof(error_texts[0]);
    const ErrorText& text = code < known ? error_texts[code] : unknown_error;
    emit(text.message, text.flag);
}

void log_message(const char* text) {
    char line[line_capacity];
    const int length = std::snprintf(line, sizeof(line), "Tarvex: %s\n", text ? text : "");
    if (length < 0) return;
    if (static_cast<size_t>(length) >= sizeof(line)) {
        line[sizeof(line) - 2] = '\n';
        line[sizeof(line) - 1] = '\0';
    }
    emit(line, false);
}

void debug_log(const char* text, bool) {
    platform::debug_output(text);
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------

namespace tarvex {

void check_failed(const char* text) {
    char line[512];
    std::snprintf(line, sizeof(line), "CHECK FAILED: %s", text);
    log_message(line);
    // A silenced sink must not hide why the process stopped.
    if (current_log_func() == nullptr) platform::debug_output(line);
    std::abort();
}

}  // namespace tarvex
