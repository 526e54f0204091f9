// Writes the report's XML one line at a time: the indentation, the text and
// a CRLF, byte for byte, to a file opened in binary mode. Lines and escaped
// texts are formatted in sixteen buffers used in rotation, so a line and the
// escaped texts it quotes never share one.
#pragma once

#include <cstdio>

namespace tarvex {

class XmlWriter {
public:
    // Opens the file ("wb") and writes the declaration line. The file may be
    // absent (it could not be created); every line is then dropped.
    explicit XmlWriter(const char* file_name);
    ~XmlWriter();
    XmlWriter(const XmlWriter&) = delete;
    XmlWriter& operator=(const XmlWriter&) = delete;

    // Formats one line at the current level. A line too long for its buffer
    // is cut; it still ends with CRLF.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The text with " & ' < > replaced by their entities, cut at 4094 bytes.
    const char* escape(const char* text);

    int level = 0;

private:
    static constexpr int buffer_count = 16;
    static constexpr int buffer_size = 4096;

    char* next_buffer();

    std::FILE* file_;
    int next_ = 0;
    char buffers_[buffer_count][buffer_size];
};

}  // namespace tarvex
