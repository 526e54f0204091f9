#include "tracking/xml_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace tarvex {

namespace {

constexpr int max_indent = 1023;

const char* entity_for(char c) {
    switch (c) {
        case '"':
            return "&quot;";
        case '&':
            return "&amp;";
        case '\'':
            return "&apos;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        default:
            return nullptr;
    }
}

}  // namespace

XmlWriter::XmlWriter(const char* file_name)
    : file_(file_name != nullptr ? std::fopen(file_name, "wb") : nullptr) {
    // Reports run to hundreds of megabytes: write them in large pieces.
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    line("<?xml version=\"1.0\" encoding=\"utf-8\" ?>");
}

XmlWriter::~XmlWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

char* XmlWriter::next_buffer() {
    char* buffer = buffers_[next_];
    next_ = (next_ + 1) % buffer_count;
    return buffer;
}

void XmlWriter::line(const char* format, ...) {
    char* text = next_buffer();
    va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(text, buffer_size, format, arguments);
    va_end(arguments);
    if (file_ == nullptr || formatted < 0) return;
    const size_t length = std::min(static_cast<size_t>(formatted), size_t{buffer_size - 1});

    // The indentation, the text and the line end, as "%s%s\r\n" would give
    // them, written without a second pass over a format.
    char* indent = next_buffer();
    int width = level * 4;
    if (width < 0) width = 0;
    if (width > max_indent) width = max_indent;
    std::memset(indent, ' ', static_cast<size_t>(width));
    std::fwrite(indent, 1, static_cast<size_t>(width), file_);
    std::fwrite(text, 1, length, file_);
    std::fwrite("\r\n", 1, 2, file_);
}

const char* XmlWriter::escape(const char* text) {
    char* out = next_buffer();
    constexpr size_t limit = 4094;
    size_t used = 0;
    const char* p = text ? text : "";
    while (*p != '\0' && used < limit) {
        // Runs without a special character are copied whole.
        const size_t plain = std::min(std::strcspn(p, "\"&'<>"), limit - used);
        std::memcpy(out + used, p, plain);
        used += plain;
        p += plain;
        if (*p == '\0' || used == limit) break;
        // An entity that does not fit whole is cut as well.
        for (const char* e = entity_for(*p); *e != '\0' && used < limit; ++e) out[used++] = *e;
        ++p;
    }
    out[used] = '\0';
    return out;
}

}  // namespace tarvex
