#include "tracking/xml_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace tarvex {

namespace {

constexpr int max_indent = 1023;

// ---------------------------------------------------------------------------
// What a byte of a text becomes in an attribute value
// ---------------------------------------------------------------------------

const char* entity_for(unsigned char c) {
    switch (c) {
        case '"':
            return "&quot;";
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '\t':
            return "&#9;";
        case '\n':
            return "&#10;";
        case '\r':
            return "&#13;";
        default:
            return nullptr;
    }
}

// The length of the UTF-8 character at `p` that XML may carry, or 0 when the
// bytes there are no such character: a stray continuation byte, a truncated
// or overlong sequence, a surrogate, a code point past U+10FFFF, or one of
// the two non-characters U+FFFE and U+FFFF.
size_t xml_character_length(const unsigned char* p) {
    const unsigned char lead = p[0];
    size_t length;
    uint32_t code;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        // A zero terminator is no continuation byte, so this never reads
        // past the end of the text.
        if ((p[i] & 0xc0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3fu);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10ffff) return 0;
    if ((code >= 0xd800 && code <= 0xdfff) || code == 0xfffe || code == 0xffff) return 0;
    return length;
}

}  // namespace

XmlWriter::XmlWriter(const char* file_name)
    : file_(file_name != nullptr ? std::fopen(file_name, "wb") : nullptr),
      failed_(file_ == nullptr) {
    // Reports run to hundreds of megabytes: write them in large pieces.
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    line("<?xml version=\"1.0\" encoding=\"utf-8\" ?>");
}

XmlWriter::~XmlWriter() {
    close();
}

bool XmlWriter::close() {
    if (file_ != nullptr) {
        if (std::ferror(file_) != 0) failed_ = true;
        if (std::fclose(file_) != 0) failed_ = true;
        file_ = nullptr;
    }
    return !failed_;
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
    const int formatted = std::vsnprintf(text, line_capacity, format, arguments);
    va_end(arguments);
    if (file_ == nullptr || formatted < 0) return;
    const size_t length = std::min(static_cast<size_t>(formatted), line_capacity - 1);

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

const char* XmlWriter::escape(const char* text, size_t limit) {
    char* out = next_buffer();
    limit = std::min(limit, line_capacity - 1);
    size_t used = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : "");
    while (*p != '\0') {
        // Runs of plain printable ASCII, the common case, are copied whole.
        size_t plain = 0;
        while (p[plain] >= 0x20 && p[plain] < 0x80 && entity_for(p[plain]) == nullptr) ++plain;
        if (plain != 0) {
            const size_t taken = std::min(plain, limit - used);
            std::memcpy(out + used, p, taken);
            used += taken;
            p += taken;
            if (taken < plain) break;
            continue;
        }
        char replacement[8];
        const char* piece = entity_for(*p);
        size_t consumed = 1;
        size_t piece_length;
        if (piece != nullptr) {
            piece_length = std::strlen(piece);
        } else if (*p >= 0x80 && (consumed = xml_character_length(p)) != 0) {
            piece = reinterpret_cast<const char*>(p);
            piece_length = consumed;
        } else {
            consumed = 1;
            std::snprintf(replacement, sizeof(replacement), "\\x%02X", *p);
            piece = replacement;
            piece_length = 4;
        }
        if (used + piece_length > limit) break;
        std::memcpy(out + used, piece, piece_length);
        used += piece_length;
        p += consumed;
    }
    out[used] = '\0';
    return out;
}

}  // namespace tarvex
