#include "debug_log.h"

#include <cstdlib>
#include <ctime>

namespace tarvex_classic {

namespace {

// A backslash on POSIX would become part of the file name instead of
// separating it from the directory.
#ifdef _WIN32
constexpr char dir_separator[] = "\\";
#else
constexpr char dir_separator[] = "/";
#endif

constexpr size_t path_buffer_size = 200;

}  // namespace

void open_debug_log(HandleRecord* handle) {
    // The file is named after the time in seconds, as a 32-bit number.
    const int stamp = static_cast<int32_t>(std::time(nullptr));
    const char* dir = std::getenv("tmp");
    char path[path_buffer_size];
    int length;
    if (dir != nullptr && dir[0] != '\0') {
        length = std::snprintf(path, sizeof path, "%s%sTX%d.dbg", dir, dir_separator, stamp);
    } else {
        length = std::snprintf(path, sizeof path, "TX%d.dbg", stamp);
    }
    // A cut path would name some other file, possibly in another directory,
    // so a path that does not fit means no log at all.
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        return;
    }
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return;
    }
    handle->log = file;
    handle->logging = 1;
    std::fprintf(file, "Handle allocated Address:    %p Blksize: %d\n", static_cast<void*>(handle),
                 static_cast<int>(handle->block_size));
}

void close_debug_log(HandleRecord* handle) {
    if (handle->log != nullptr) {
        std::fclose(handle->log);
    }
    handle->log = nullptr;
    handle->logging = 0;
}

}  // namespace tarvex_classic
