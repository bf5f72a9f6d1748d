#include "xml/hex_escapes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "reader/shared_strings.hpp"
#include "writer/shared_strings.hpp"
#include "xml/utf8.hpp"
#include "xml/xml_writer.hpp"

using namespace velmo;

namespace {

std::string decoded(std::string text, std::size_t from = 0) {
    xml::decode_hex_escapes(text, from);
    return text;
}

std::string encoded(std::string_view text) {
    std::string out;
    xml::append_hex_escaped_text(out, text);
    return out;
}

struct Case {
    std::string_view in;
    std::string_view out;
};

}  // namespace

// Texts that hold no escape and need none: neither side changes them.
TEST(HexEscapes, TextsWithoutEscapesPass) {
    for (std::string_view text : {"", "plain", "x_y_", "_x", "end_x", "_x004_", "_x00G1_", "_x00g1_", "_X0041_", "_x0041",
                                  "_x0041x", "\x7F", "\xEF\xBF\xBD\xEF\xBB\xBF" /* U+FFFD, U+FEFF */}) {
        EXPECT_EQ(decoded(std::string(text)), text);
        EXPECT_EQ(encoded(text), text);
    }
}

TEST(HexEscapes, Decoding) {
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"ABC_x000D_DEF", "ABC\rDEF"}, {"_x000d_", "\r"}, {"a_x005f_b", "a_b"}, {"_x0000_", "\0"sv},
        {"_x005F_x0041_", "_x0041_"},  // an escaped underscore, then literal text
        {"_x005F_x005F_", "_x005F_"}, {"__x0041_", "_A"}, {"_x_x0041_", "_xA"}, {"_x0041__x0042_", "AB"},
        {"_x00e9__x20AC_", "é€"}, {"_xFFFF_", "\xEF\xBF\xBF"},
        {"_xD83D__xDE00_", "\xF0\x9F\x98\x80"},  // a surrogate pair, U+1F600
        {"_xdbff__xdfff_", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {"_xD83D__xD83D__xDE00_", "_xD83D_\xF0\x9F\x98\x80"},
        // Lone or reversed surrogates stay as written.
        {"_xD800_", "_xD800_"}, {"_xDC00_", "_xDC00_"}, {"_xD83D_x", "_xD83D_x"}, {"_xD83D_axDC00_", "_xD83D_axDC00_"},
        {"_xDE00__xD83D_", "_xDE00__xD83D_"}, {"_xD83D__x0041_", "_xD83D_A"},
    };
    for (const Case& c : cases) EXPECT_EQ(decoded(std::string(c.in)), c.out) << c.in;
    // Only from the offset given.
    EXPECT_EQ(decoded("_x0041_|_x0042_", 7), "_x0041_|B");
}

TEST(HexEscapes, EncodingWithXmlEscapes) {
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"a\x01" "b", "a_x0001_b"}, {"\0"sv, "_x0000_"}, {"\t\n\r", "\t\n&#13;"},
        {"\x08\x0B\x0C\x0E\x1F", "_x0008__x000B__x000C__x000E__x001F_"},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", "_xFFFE__xFFFF_"}, {"a<b&'\"c>", "a&lt;b&amp;&apos;&quot;c&gt;"},
        {"_x0041_", "_x005F_x0041_"}, {"_x005F_", "_x005F_x005F_"}, {"__x0041_", "__x005F_x0041_"},
        {"_x0041__x0042_", "_x005F_x0041__x005F_x0042_"}, {"&_xd83d_<", "&amp;_x005F_xd83d_&lt;"},
        {"\xEF\xBF\xBD<\x01", "\xEF\xBF\xBD&lt;_x0001_"},
        // What follows the four digits decides: a character written as an escape starts with an
        // underscore too.
        {"_x0041\x01", "_x005F_x0041_x0001_"}, {"_x0041\xEF\xBF\xBF", "_x005F_x0041_xFFFF_"},
    };
    for (const Case& c : cases) EXPECT_EQ(encoded(c.in), c.out) << c.in;
    // Nothing past the end of a text is read (the sanitized build sees it), even where a buffer
    // holds no terminator; the long text is on the heap, its allocation just past its terminator.
    for (std::string_view cut : {"_x004", "_x0041", "_x005F"}) {
        const auto exact = std::make_unique<char[]>(cut.size());
        std::copy(cut.begin(), cut.end(), exact.get());
        EXPECT_EQ(encoded({exact.get(), cut.size()}), cut);
        const std::string text = std::string(40, 'a') + std::string(cut);
        EXPECT_EQ(decoded(text), text);
    }
    EXPECT_EQ(decoded(std::string(40, 'a') + "_xD83D_"), std::string(40, 'a') + "_xD83D_");
    // The plain writer still flags what it cannot write.
    std::string out;
    EXPECT_FALSE(xml::append_escaped_text(out, "\xEF\xBF\xBE"));
    EXPECT_EQ(out, "\xEF\xBF\xBE");
}

// Random texts, heavy in underscores, x, hex digits and characters that need escapes, come back
// from a shared strings part as they went in; random escape soup decodes to valid UTF-8.
TEST(HexEscapes, SharedStringsRoundTripRandomTexts) {
    const std::vector<std::string> pieces = {
        "_", "x", "X", "0", "4", "1", "D", "d", "8", "F", "f", "E", "_x", "_x00", "_x0041_", "_x005F_",
        "_xD83D_", "_xDE00_", "\x01", std::string(1, '\0'), "\x1F", "\t", "\n", "\r", " ", "&", "<",
        "\xC3\xA9", "\xE2\x82\xAC", "\xEF\xBF\xBE", "\xEF\xBF\xBF", "\xF0\x9F\x98\x80"};
    std::mt19937 rng(20240530);
    writer::SharedStringTable table;
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (int n = std::uniform_int_distribution<int>(0, 12)(rng); n > 0; --n)
            text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
        if (table.find(text)) continue;
        table.insert(text);
        texts.push_back(text);

        std::string soup = text;
        xml::decode_hex_escapes(soup);
        EXPECT_FALSE(xml::check_utf8(soup)) << text;
    }
    auto part = writer::write_shared_strings_xml(table);
    ASSERT_TRUE(part) << part.error().message;
    auto back = reader::parse_shared_strings(*part);
    ASSERT_TRUE(back) << back.error().message;
    ASSERT_EQ(back->items.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(back->items[i], texts[i]) << i;
}
