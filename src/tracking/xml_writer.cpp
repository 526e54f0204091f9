#include "tracking/xml_writer.h"

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
    std::vsnprintf(text, buffer_size, format, arguments);
    va_end(arguments);
    if (file_ == nullptr) return;

    char* indent = next_buffer();
    int width = level * 4;
    if (width < 0) width = 0;
    if (width > max_indent) width = max_indent;
    std::memset(indent, ' ', static_cast<size_t>(width));
    indent[width] = '\0';
    std::fprintf(file_, "%s%s\r\n", indent, text);
}

const char* XmlWriter::escape(const char* text) {
    char* out = next_buffer();
    constexpr size_t limit = 4094;
    size_t used = 0;
    for (const char* p = text ? text : ""; *p != '\0' && used < limit; ++p) {
        const char* entity = entity_for(*p);
        if (entity == nullptr) {
            out[used++] = *p;
            continue;
        }
        // An entity that does not fit whole is cut as well.
        for (const char* e = entity; *e != '\0' && used < limit; ++e) out[used++] = *e;
    }
    out[used] = '\0';
    return out;
}

}  // namespace tarvex
