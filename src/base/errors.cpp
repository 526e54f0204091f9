#include "base/errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void report_error(uint32_t code) {
    const Tarvex::LogFunc sink = current_log_func();
    if (sink == nullptr) return;
    const size_t known = sizeof(error_texts) / sizeof(error_texts[0]);
    const ErrorText& text = code < known ? error_texts[code] : unknown_error;
    sink(text.message, text.flag);
}

void log_message(const char* text) {
    const Tarvex::LogFunc sink = current_log_func();
    if (sink == nullptr) return;
    char line[line_capacity];
    const int length = std::snprintf(line, sizeof(line), "Tarvex: %s\n", text ? text : "");
    if (length < 0) return;
    if (static_cast<size_t>(length) >= sizeof(line)) {
        line[sizeof(line) - 2] = '\n';
        line[sizeof(line) - 1] = '\0';
    }
    sink(line, false);
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
