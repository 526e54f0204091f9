// Helpers shared by the tarvex_classic tests: a view of a handle's records,
// fresh directories, the "tmp" variable and the log files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "records.h"

namespace classic_test {

namespace fs = std::filesystem;
using tarvex_classic::BlockHeader;
using tarvex_classic::HandleRecord;

inline const HandleRecord& record_of(void* handle) {
    return *static_cast<const HandleRecord*>(handle);
}

inline const char* bytes_of(const void* p) {
    return static_cast<const char*>(p);
}

// The length word stored just before a piece.
int32_t length_word_of(const void* piece);

// A new empty directory under the system's temporary directory, removed again
// when the helper goes away.
class FreshDir {
public:
    explicit FreshDir(const std::string& name);
    ~FreshDir();
    FreshDir(const FreshDir&) = delete;
    FreshDir& operator=(const FreshDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Sets or removes "tmp" for the test's duration, then puts back what was there.
class ScopedTmpVariable {
public:
    ScopedTmpVariable();
    ~ScopedTmpVariable();
    ScopedTmpVariable(const ScopedTmpVariable&) = delete;
    ScopedTmpVariable& operator=(const ScopedTmpVariable&) = delete;
    void set(const std::string& value);
    void unset();

private:
    std::optional<std::string> saved_;
};

// Makes a directory current for the test's duration.
class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const fs::path& dir);
    ~ScopedCurrentDir();
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

private:
    fs::path saved_;
};

// Every entry of the directory, and the ones named like a log, "TX<n>.dbg".
std::vector<fs::path> entries_of(const fs::path& dir);
std::vector<fs::path> log_files_in(const fs::path& dir);

// The number in a log file's name.
long long stamp_of(const fs::path& log_file);

// The file's bytes, unchanged.
std::string read_bytes(const fs::path& file);

// printf formatting with the runtime's own "%p" form.
std::string format(const char* pattern, ...);

// The bytes a text-mode stream writes for the given text.
std::string as_written(const std::string& text);

}  // namespace classic_test
