#include "base/checks.h"

#include <cstdio>
#include <cstdlib>

#include "base/errors.h"
#include "platform/platform.h"

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
