// Writes the report's XML one line at a time: the indentation, the text and
// a CRLF, byte for byte, to a file opened in binary mode. Lines and escaped
// texts are formatted in sixteen buffers used in rotation, so a line and the
// escaped texts it quotes never share one.
#pragma once

#include <stddef.h>

#include <cstdio>

namespace tarvex {

class XmlWriter {
public:
    static constexpr size_t line_capacity = 4096;

    // Opens the file ("wb") and writes the declaration line. The file may be
    // absent (it could not be created); every line is then dropped.
    explicit XmlWriter(const char* file_name);
    ~XmlWriter();
    XmlWriter(const XmlWriter&) = delete;
    XmlWriter& operator=(const XmlWriter&) = delete;

    // Formats one line at the current level. A line too long for its buffer
    // is cut; it still ends with CRLF. The report bounds every text it
    // quotes so that its lines never are.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The text as an attribute value of well-formed XML, at most `limit`
    // bytes (below line_capacity) and never cut inside an escape or a
    // character: & < > " as entities; tab, line feed and carriage return as
    // character references; every other byte that XML cannot carry (control
    // characters, bytes that do not form UTF-8, such as a game's code-page
    // text) as the four characters \xNN. Other texts stay byte for byte.
    const char* escape(const char* text, size_t limit);

    // Closes the file; false when it could not be created or not every byte
    // reached it.
    bool close();

    int level = 0;

private:
    static constexpr int buffer_count = 16;

    char* next_buffer();

    std::FILE* file_;
    bool failed_;
    int next_ = 0;
    char buffers_[buffer_count][line_capacity];
};

}  // namespace tarvex
