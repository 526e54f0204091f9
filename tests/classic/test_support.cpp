#include "test_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <process.h>
#define current_pid _getpid
#else
#include <unistd.h>
#define current_pid getpid
#endif

namespace classic_test {

int32_t length_word_of(const void* piece) {
    int32_t length;
    std::memcpy(&length, bytes_of(piece) - sizeof length, sizeof length);
    return length;
}

FreshDir::FreshDir(const std::string& name)
    : path_(fs::temp_directory_path() /
            ("tarvex_classic_" + std::to_string(current_pid()) + "_" + name)) {
    fs::remove_all(path_);
    fs::create_directories(path_);
}

FreshDir::~FreshDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedTmpVariable::ScopedTmpVariable() {
    if (const char* value = std::getenv("tmp")) {
        saved_ = value;
    }
}

ScopedTmpVariable::~ScopedTmpVariable() {
    if (saved_) {
        set(*saved_);
    } else {
        unset();
    }
}

// mingw's getenv reads the runtime's copy of the environment, which _putenv_s
// keeps; "tmp=" removes the variable there.
void ScopedTmpVariable::set(const std::string& value) {
#ifdef _WIN32
    _putenv_s("tmp", value.c_str());
#else
    setenv("tmp", value.c_str(), 1);
#endif
}

void ScopedTmpVariable::unset() {
#ifdef _WIN32
    _putenv("tmp=");
#else
    unsetenv("tmp");
#endif
}

ScopedCurrentDir::ScopedCurrentDir(const fs::path& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
}

ScopedCurrentDir::~ScopedCurrentDir() {
    fs::current_path(saved_);
}

std::vector<fs::path> entries_of(const fs::path& dir) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(dir)) {
        entries.push_back(entry.path());
    }
    return entries;
}

std::vector<fs::path> log_files_in(const fs::path& dir) {
    std::vector<fs::path> logs;
    for (const auto& entry : entries_of(dir)) {
        const std::string name = entry.filename().string();
        if (name.size() > 6 && name.compare(0, 2, "TX") == 0 &&
            name.compare(name.size() - 4, 4, ".dbg") == 0 &&
            name.find_first_not_of("-0123456789", 2) == name.size() - 4) {
            logs.push_back(entry);
        }
    }
    return logs;
}

long long stamp_of(const fs::path& log_file) {
    const std::string name = log_file.filename().string();
    return std::stoll(name.substr(2, name.size() - 6));
}

std::string read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string format(const char* pattern, ...) {
    char buffer[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

std::string as_written(const std::string& text) {
#ifdef _WIN32
    std::string bytes;
    for (char c : text) {
        if (c == '\n') {
            bytes += '\r';
        }
        bytes += c;
    }
    return bytes;
#else
    return text;
#endif
}

}  // namespace classic_test
