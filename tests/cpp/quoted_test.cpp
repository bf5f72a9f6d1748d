#include "model/quoted.hpp"

#include <gtest/gtest.h>

namespace velmo {
namespace {

TEST(Quoted, PlainTextIsOnlyWrapped) {
    EXPECT_EQ(quoted(""), "\"\"");
    EXPECT_EQ(quoted("A1:B2"), "\"A1:B2\"");
    EXPECT_EQ(quoted("a b ~'"), "\"a b ~'\"");
}

TEST(Quoted, QuotesAndBackslashesAreEscaped) {
    EXPECT_EQ(quoted("say \"hi\""), R"("say \"hi\"")");
    EXPECT_EQ(quoted("C:\\dir\\"), R"("C:\\dir\\")");
    EXPECT_EQ(quoted("\\\""), R"("\\\"")");
}

TEST(Quoted, ControlCharacters) {
    EXPECT_EQ(quoted(std::string_view("\t\r\n\0", 4)), R"("\t\r\n\0")");
    EXPECT_EQ(quoted("\x01\x1f\x7f"), R"("\u{1}\u{1f}\u{7f}")");
    EXPECT_EQ(quoted("\xc2\x85"), R"("\u{85}")");  // NEL is a C1 control
}

TEST(Quoted, InvisibleAndSeparatorCharactersUseUnicodeEscapes) {
    EXPECT_EQ(quoted("a\xc2\xa0" "b"), R"("a\u{a0}b")");           // no-break space (Zs)
    EXPECT_EQ(quoted("\xe3\x80\x80"), R"("\u{3000}")");             // ideographic space (Zs)
    EXPECT_EQ(quoted("\xe2\x80\x8b"), R"("\u{200b}")");             // zero-width space (Cf)
    EXPECT_EQ(quoted("\xef\xbb\xbf"), R"("\u{feff}")");             // byte-order mark (Cf)
    EXPECT_EQ(quoted("\xe2\x80\xa8\xe2\x80\xa9"), R"("\u{2028}\u{2029}")");  // Zl, Zp
    EXPECT_EQ(quoted("\xee\x80\x80"), R"("\u{e000}")");             // private use (Co)
    EXPECT_EQ(quoted("\xf4\x8f\xbf\xbf"), R"("\u{10ffff}")");       // noncharacter (Cn)
    EXPECT_EQ(quoted("\xcd\xb8"), R"("\u{378}")");                  // unassigned (Cn)
}

TEST(Quoted, GraphemeExtendersAreEscapedOtherLettersKept) {
    EXPECT_EQ(quoted("e\xcc\x81"), R"("e\u{301}")");  // combining acute accent
    EXPECT_EQ(quoted("\xe2\x80\x8c"), R"("\u{200c}")");
    EXPECT_EQ(quoted("\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"),
              "\"\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\"");
    // Skin-tone modifiers extend emoji clusters but are not grapheme extenders.
    EXPECT_EQ(quoted("\xf0\x9f\x8f\xbb"), "\"\xf0\x9f\x8f\xbb\"");
    EXPECT_EQ(quoted("\xe0\xa4\xbe"), "\"\xe0\xa4\xbe\"");  // Devanagari vowel sign AA: spacing mark, kept
    EXPECT_EQ(quoted("\xe0\xa6\xbe"), R"("\u{9be}")");          // Bengali vowel sign AA: a spacing extender
}

TEST(Quoted, InvalidBytesBecomeReplacementCharacters) {
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(quoted("a\xff" "b"), "\"a" + fffd + "b\"");
    EXPECT_EQ(quoted("\xc3"), "\"" + fffd + "\"");                          // truncated sequence
    EXPECT_EQ(quoted("\xc0\xaf"), "\"" + fffd + fffd + "\"");               // overlong form
    EXPECT_EQ(quoted("\xed\xa0\x80"), "\"" + fffd + fffd + fffd + "\"");    // encoded surrogate
    EXPECT_EQ(quoted("\xf4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");  // above U+10FFFF
}

}  // namespace
}  // namespace velmo
