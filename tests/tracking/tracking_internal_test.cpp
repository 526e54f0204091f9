// Internals of tracking and reports that the interface cannot reach.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "counters/counters.h"
#include "tracking/xml_writer.h"

using namespace tarvex;

TEST(NameHash, MultipliesBy33OverSignedBytes) {
    EXPECT_EQ(name_hash(""), 0u);
    EXPECT_EQ(name_hash(nullptr), 0u);
    EXPECT_EQ(name_hash("a"), 0x61u);
    EXPECT_EQ(name_hash("abc"), 0x1a9a6u);
    EXPECT_EQ(name_hash("\xe9"), 0xffffffe9u);
}

// Whatever a game puts in a name or an info text, the attribute stays
// well-formed XML: no forged line, no quote closing it early, no byte an XML
// reader rejects; and a cut never splits an escape or a character.
TEST(XmlWriter, EscapesEveryTextIntoWellFormedXml) {
    XmlWriter* writer = new XmlWriter(nullptr);
    EXPECT_STREQ(writer->escape("a\"b&c'd<e>f", 100), "a&quot;b&amp;c'd&lt;e&gt;f");
    EXPECT_STREQ(writer->escape("x\r\n</Fragment>\ty", 100), "x&#13;&#10;&lt;/Fragment&gt;&#9;y");
    EXPECT_STREQ(writer->escape("bell\x07 del\x7f", 100), "bell\\x07 del\x7f");
    EXPECT_STREQ(writer->escape(nullptr, 100), "");
    // UTF-8 stays as it is; code-page bytes, stray continuations, overlong
    // forms, surrogates and U+FFFF do not form characters XML may carry.
    EXPECT_STREQ(writer->escape("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae", 100),
                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae");
    EXPECT_STREQ(writer->escape("caf\xe9 \x83\x5c", 100), "caf\\xE9 \\x83\\");
    EXPECT_STREQ(writer->escape("\xc0\xaf\xed\xa0\x80\xef\xbf\xbf", 100),
                 "\\xC0\\xAF\\xED\\xA0\\x80\\xEF\\xBF\\xBF");
    EXPECT_STREQ(writer->escape("\xe2\x82", 100), "\\xE2\\x82");
    // Cut to the limit, before an escape or a character that would not fit.
    EXPECT_STREQ(writer->escape("abc&d", 5), "abc");
    EXPECT_STREQ(writer->escape("ab\x01", 5), "ab");
    EXPECT_STREQ(writer->escape("abc\xc3\xa9", 4), "abc");
    const std::string long_text(5000, 'x');
    EXPECT_EQ(std::string(writer->escape(long_text.c_str(), 9999)).size(),
              XmlWriter::line_capacity - 1);
    // Two escapes in one line never share a buffer.
    const char* first = writer->escape("<1>", 100);
    const char* second = writer->escape("<2>", 100);
    EXPECT_STREQ(first, "&lt;1&gt;");
    EXPECT_STREQ(second, "&lt;2&gt;");
    delete writer;
}

TEST(XmlWriter, IndentsAndEndsEveryLineWithCrLf) {
    const char* name = "xml_writer_test.xml";
    {
        XmlWriter writer(name);
        writer.line("<a>");
        writer.level = 4;
        writer.line("<b x=\"%d\" />", 7);
        writer.level = 300;  // capped at 1023 spaces
        writer.line("<c/>");
    }
    std::FILE* file = std::fopen(name, "rb");
    ASSERT_NE(file, nullptr);
    std::string content;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0;)
        content.append(buffer, n);
    std::fclose(file);
    std::remove(name);
    const std::string expected = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<a>\r\n" +
                                 std::string(16, ' ') + "<b x=\"7\" />\r\n" +
                                 std::string(1023, ' ') + "<c/>\r\n";
    EXPECT_EQ(content, expected);
}
