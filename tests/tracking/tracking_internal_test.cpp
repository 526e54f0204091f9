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

TEST(XmlWriter, EscapesTheFiveCharactersAndCutsLongTexts) {
    XmlWriter* writer = new XmlWriter(nullptr);
    EXPECT_STREQ(writer->escape("a\"b&c'd<e>f"), "a&quot;b&amp;c&apos;d&lt;e&gt;f");
    EXPECT_STREQ(writer->escape(nullptr), "");
    // 4094 bytes at most; an entity that does not fit whole is cut too.
    const std::string long_text = std::string(4092, 'x') + "&y";
    const std::string escaped = writer->escape(long_text.c_str());
    EXPECT_EQ(escaped.size(), 4094u);
    EXPECT_EQ(escaped.substr(4092), "&a");
    // Two escapes in one line never share a buffer.
    const char* first = writer->escape("<1>");
    const char* second = writer->escape("<2>");
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
