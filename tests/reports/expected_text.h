// Helpers for hosts that leave files for the scenario runner to compare.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// The host's log sink: every message appended to log.txt, opened anew for
// each line, so lines logged during the exit-time shutdown reach the file.
inline void log_to_file(const char* text, bool) {
    if (std::FILE* file = std::fopen("log.txt", "ab")) {
        std::fputs(text, file);
        std::fclose(file);
    }
}

inline std::string formatted(const char* format, ...) {
    char buffer[4096];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    return buffer;
}

inline void write_file(const char* name, const std::string& text) {
    if (std::FILE* file = std::fopen(name, "wb")) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
}

// Asks the runner to compare `actual` with `expected` once the host is gone.
inline void expect_file(const char* actual, const char* expected) {
    if (std::FILE* file = std::fopen("compare.txt", "ab")) {
        std::fprintf(file, "%s|%s\n", actual, expected);
        std::fclose(file);
    }
}
