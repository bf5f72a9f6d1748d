#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/shared_strings.hpp"

using velmo::ErrorKind;
using velmo::reader::parse_shared_strings;

namespace {

std::vector<std::string> items(std::string_view body, std::string_view sst_attrs = "") {
    std::string doc = "<?xml version=\"1.0\"?><sst xmlns=\"x\"";
    doc += sst_attrs;
    doc += ">";
    doc += body;
    doc += "</sst>";
    auto r = parse_shared_strings(doc);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
    std::vector<std::string> out;
    if (r)
        for (const velmo::Text& t : r->items) out.push_back(t.str());
    return out;
}

using V = std::vector<std::string>;

}  // namespace

TEST(SharedStrings, PlainRichAndEmptyItems) {
    EXPECT_EQ(items("<si><t>Hello</t></si>"), V{"Hello"});
    EXPECT_EQ(items("<si><r><rPr><b/></rPr><t>ab</t></r><r><t>cd</t></r></si>"), V{"abcd"});
    // Empty forms keep their index so later items stay in place.
    EXPECT_EQ(items("<si><t/></si><si><t></t></si><si><t>  </t></si><si/><si><t>z</t></si>"), (V{"", "", "", "", "z"}));
    EXPECT_EQ(items("<si>loose<t>in</t></si><t>outside</t>"), V{"in"});
    auto r = parse_shared_strings("<sst/>");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->items.empty());
}

TEST(SharedStrings, WhiteSpaceTrimmedUnlessPreserved) {
    EXPECT_EQ(items("<si><t>  padded \n</t></si>"), V{"padded"});
    EXPECT_EQ(items("<si><r><t>Hello</t></r><r><t xml:space=\"preserve\"> world</t></r></si>"), V{"Hello world"});
    EXPECT_EQ(items("<si><t xml:space=\"preserve\">  two  </t></si>"), V{"  two  "});
    EXPECT_EQ(items("<si><t xml:space=\"preserve\">   </t></si>"), V{"   "});
    // A character reference survives trimming.
    EXPECT_EQ(items("<si><t>&#32;x</t></si>"), V{" x"});
}

TEST(SharedStrings, PhoneticRunsAreNotPartOfTheValue) {
    EXPECT_EQ(items("<si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh><phoneticPr fontId=\"1\"/></si>"), V{"漢字"});
    EXPECT_EQ(items("<si><r><t>a</t></r><rPh><t>x</t></rPh><r><t>b</t></r></si>"), V{"ab"});
}

TEST(SharedStrings, EscapesCdataAndComments) {
    EXPECT_EQ(items("<si><t>a &amp; b &lt;c&gt;</t></si>"), V{"a & b <c>"});
    EXPECT_EQ(items("<si><t><![CDATA[<raw> & ]]></t></si>"), V{"<raw> & "});
    EXPECT_EQ(items("<si><t>a<!-- c -->b</t></si>"), V{"ab"});
    EXPECT_EQ(items("<x:si><x:t>p</x:t></x:si>"), V{"p"});
}

TEST(SharedStrings, HexEscapesDecodedWithinEachText) {
    EXPECT_EQ(items("<si><t>ABC_x000D_&#10;DEF</t></si>"), V{"ABC\r\nDEF"});
    // Per text: an escape never spans two runs, and the white space an escape spells is kept.
    EXPECT_EQ(items("<si><r><t>_x00</t></r><r><t>41_</t></r></si>"), V{"_x0041_"});
    EXPECT_EQ(items("<si><r><t>a_x0042_</t></r><r><t xml:space=\"preserve\"> _x0043_</t></r></si>"), V{"aB C"});
    EXPECT_EQ(items("<si><t>_x0020_x_x0009_</t></si>"), V{" x\t"});
    // Spelled with references or in CDATA it is still an escape; a phonetic reading stays out.
    EXPECT_EQ(items("<si><t>&#95;x0041_<![CDATA[_x0042_]]></t><rPh><t>_x0043_</t></rPh></si>"), V{"AB"});
    // A kept item holds its escapes as written.
    auto r = parse_shared_strings("<sst><si><r><t>a_x0007_</t></r></si></sst>");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->items, std::vector<velmo::Text>{"a\x07"});
    ASSERT_TRUE(r->rich_item(0));
    EXPECT_NE(r->rich_item(0)->find("a_x0007_"), std::string::npos);
}

TEST(SharedStrings, UniqueCountOnlyHintsTheSize) {
    EXPECT_EQ(items("<si><t>a</t></si><si><t>b</t></si>", " uniqueCount=\"10\""), (V{"a", "b"}));
    EXPECT_EQ(items("<si><t>a</t></si>", " uniqueCount=\"18446744073709551615\""), V{"a"});
    for (const char* bad : {"", "abc", "-1", " 2"})
        EXPECT_EQ(items("<si><t>a</t></si>", std::string(" uniqueCount=\"") + bad + "\""), V{"a"});
    auto r = parse_shared_strings("<sst uniqueCount=\"18446744073709551615\"><si><t>a</t></si></sst>");
    ASSERT_TRUE(r);
    EXPECT_LE(r->items.capacity(), 64u);
}

TEST(SharedStrings, SecondRootRestartsTheList) {
    EXPECT_EQ(items("<si><t>a</t></si><sst><si><t>b</t></si></sst>"), V{"b"});
}

TEST(SharedStrings, XmlErrors) {
    for (std::string doc : {
             std::string("<sst><si><t>&nbsp;</t></si></sst>"),
             std::string("<sst><si><t>x</si></t></sst>"),
             std::string("<sst><si><t>\xff</t></si></sst>"),
             std::string("<sst uniqueCount=\"&bogus;\"></sst>"),
         }) {
        auto r = parse_shared_strings(doc);
        ASSERT_FALSE(r) << doc;
        EXPECT_EQ(r.error().kind, ErrorKind::Xml) << doc;
    }
}

TEST(SharedStrings, FindIsBoundsChecked) {
    velmo::reader::SharedStrings s{{"a", "b"}, {}};
    ASSERT_NE(s.find(1), nullptr);
    EXPECT_EQ(*s.find(1), "b");
    EXPECT_EQ(s.find(2), nullptr);
    EXPECT_EQ(s.find(UINT64_MAX), nullptr);
}

TEST(SharedStrings, ItemsWithRunsOrReadingsAreKeptWhole) {
    constexpr std::string_view kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
    struct Case {
        std::string root_attrs;
        std::string item;
        const char* kept;  // null: plain text, nothing kept
    };
    const Case cases[] = {
        {"", "<si><t>plain</t></si>", nullptr},
        {"", "<si><r><rPr><b/></rPr><t>ab</t></r><r><t xml:space=\"preserve\"> cd</t></r></si>",
         "<si><r><rPr><b/></rPr><t>ab</t></r><r><t xml:space=\"preserve\"> cd</t></r></si>"},
        {"", "<si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh><phoneticPr fontId=\"1\"/></si>",
         "<si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh><phoneticPr fontId=\"1\"/></si>"},
        // The main namespace under a prefix lands unprefixed; another prefix takes its declaration along.
        {" xmlns:x=\"" + std::string(kMain) + "\"", "<x:si><x:r><x:t>p &amp; q</x:t></x:r></x:si>",
         "<si><r><t>p &amp; q</t></r></si>"},
        {" xmlns:e=\"urn:e\"", "<si><r><e:mark/><t>q</t></r></si>", "<si xmlns:e=\"urn:e\"><r><e:mark/><t>q</t></r></si>"},
        // What cannot be written back well-formed stays plain text.
        {"", "<si><r><u:mark/><t>q</t></r></si>", nullptr},
        {"", "<si><r><rPr><b val=\"1\" val=\"2\"/></rPr><t>q</t></r></si>", nullptr},
        {" xmlns:e=\"urn:e\"", "<si><r><!-- a -- b --><e:mark/><t>q</t></r></si>", nullptr},
    };
    for (const Case& c : cases) {
        const std::string doc = "<sst xmlns=\"" + std::string(kMain) + "\"" + c.root_attrs + "><si><t>first</t></si>" +
                                c.item + "</sst>";
        auto r = parse_shared_strings(doc);
        ASSERT_TRUE(r) << doc;
        ASSERT_EQ(r->items.size(), 2u) << doc;
        EXPECT_EQ(r->rich_item(0), nullptr);
        const auto kept = r->rich_item(1);
        EXPECT_EQ(kept ? *kept : "<none>", c.kept ? c.kept : "<none>") << doc;
    }
}
