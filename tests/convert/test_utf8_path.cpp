// Paths cross from UTF-8 to UTF-16 at the Windows boundary and back: every
// name must survive the round trip, and text that is not UTF-8 must be
// caught rather than turned into some other file's name.

#include "test_files.h"
#include "utf8_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using tovaly::Utf16FromUtf8;
using tovaly::Utf8FromUtf16;

TEST(Utf8Path, NamesOfEveryLengthRoundTrip)
{
    // One, two, three and four bytes in UTF-8; the last one a surrogate pair.
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"", u""},
        {"inbox.mbs", u"inbox.mbs"},
        {"Grüße von Zoë.mbs", u"Grüße von Zoë.mbs"},
        {"日本語", u"日本語"},
        {"\xF0\x9F\x93\xA7 mail", u"\U0001F4E7 mail"},
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"}, // the highest of each length
    };
    for (const auto &[utf8, utf16] : cases) {
        bool valid = false;
        EXPECT_EQ(Utf16FromUtf8(utf8, &valid), utf16) << utf8;
        EXPECT_TRUE(valid) << utf8;
        valid = false;
        EXPECT_EQ(Utf8FromUtf16(utf16, &valid), utf8) << utf8;
        EXPECT_TRUE(valid) << utf8;
    }
}

TEST(Utf8Path, MalformedUtf8IsFlaggedAndReplacedByteByByte)
{
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"a\xFF"
         "b",
         u"a\uFFFDb"},       // never a UTF-8 byte
        {"\xC3", u"\uFFFD"}, // cut short at the end
        {"\xC3"
         "x",
         u"\uFFFDx"},                                      // cut short before ASCII
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong "/": must not become a separator
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},           // overlong in three bytes
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // a surrogate written as UTF-8
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\x80", u"\uFFFD"},                               // a lone continuation byte
    };
    for (const auto &[utf8, utf16] : cases) {
        bool valid = true;
        EXPECT_EQ(Utf16FromUtf8(utf8, &valid), utf16) << testing::PrintToString(utf8);
        EXPECT_FALSE(valid) << testing::PrintToString(utf8);
    }
}

TEST(Utf8Path, LoneSurrogatesAreFlaggedAndReplaced)
{
    const std::vector<std::pair<std::u16string, std::string>> cases = {
        {std::u16string(1, u'\xD800'), "\xEF\xBF\xBD"},
        {std::u16string{u'a', u'\xDC00', u'b'}, "a\xEF\xBF\xBD"
                                                "b"},
        {std::u16string{u'\xD83D', u'x'}, "\xEF\xBF\xBDx"}, // high half, no low one
    };
    for (const auto &[utf16, utf8] : cases) {
        bool valid = true;
        EXPECT_EQ(Utf8FromUtf16(utf16, &valid), utf8);
        EXPECT_FALSE(valid);
    }
}

TEST(Utf8Path, FilesWithNamesBeyondAsciiAreMadeFoundAndRead)
{
    namespace fs = std::filesystem;
    const fs::path base = tovaly::test::MakeTempFolder("utf8_path");
    ASSERT_FALSE(base.empty());
    const std::string folder = tovaly::Utf8FromPath(base) + static_cast<char>(fs::path::preferred_separator) + "日本語";
    ASSERT_TRUE(fs::create_directory(tovaly::PathFromUtf8(folder)));
    const std::string file = folder + static_cast<char>(fs::path::preferred_separator) + "Grüße von Zoë.mbs";
    {
        std::ofstream out(tovaly::PathFromUtf8(file), std::ios::binary);
        out << "Subject: Grüße\r\n";
    }
    // The listing gives back the very UTF-8 names.
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(tovaly::PathFromUtf8(folder)))
        names.push_back(tovaly::Utf8FromPath(entry.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{"Grüße von Zoë.mbs"});
    EXPECT_EQ(tovaly::Utf8FromPath(tovaly::PathFromUtf8(file)), file);

    std::FILE *opened = tovaly::OpenUtf8File(file, "rb");
    ASSERT_NE(opened, nullptr);
    char text[32] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, opened), 18u);
    std::fclose(opened);
    EXPECT_EQ(std::string(text), "Subject: Grüße\r\n");

    std::error_code ec;
    fs::remove_all(base, ec);
}
