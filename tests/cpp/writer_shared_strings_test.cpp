#include "writer/shared_strings.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/xml_well_formed.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

constexpr std::string_view kDecl = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";
constexpr std::string_view kSst = R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";

Result<SharedStringTable> table_of(const Workbook& wb) {
    auto orders = order_workbook_cells(wb);
    if (!orders) return fail(orders.error());
    return build_shared_strings(wb, *orders);
}

std::vector<std::string> texts_of(const SharedStringTable& t) {
    std::vector<std::string> out;
    for (const auto& e : t.entries()) out.push_back(*e.text);
    return out;
}

}  // namespace

TEST(SharedStringTable, IndexIsOrderOfFirstInsertion) {
    SharedStringTable t;
    EXPECT_EQ(t.insert("x"), 0u);
    EXPECT_EQ(t.insert("X"), 1u);  // compared byte for byte
    EXPECT_EQ(t.insert("x"), 0u);
    EXPECT_EQ(t.insert(""), 2u);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_EQ(t.find("X"), 1u);
    EXPECT_EQ(t.find(" x"), std::nullopt);
    // Many insertions move no earlier text.
    for (int i = 0; i < 1000; ++i) t.insert("k" + std::to_string(i));
    EXPECT_EQ(texts_of(t)[0], "x");
    EXPECT_EQ(t.find("k999"), 1002u);
}

TEST(SharedStringTable, BuiltInCellOrderAcrossSheets) {
    Workbook wb = Workbook::make_new();
    Worksheet& s1 = wb.sheets[0];
    s1.set_cell("B2", Value{std::string("y")});
    s1.set_cell("C1", Value{std::string("x")});
    s1.set_cell("A1", Value{std::string("x")});
    s1.set_cell("A3", Value{Formula{"\"z\""}});  // formulas add nothing
    s1.set_cell("B10", Value{std::string("late")});
    s1.set_cell("B9", Value{std::string("early")});
    wb.sheets.emplace_back("Two");
    wb.sheets[1].set_cell("A1", Value{std::string("y")});
    wb.sheets[1].set_cell("A2", Value{std::string("w")});
    auto t = table_of(wb);
    ASSERT_TRUE(t) << t.error().message;
    EXPECT_EQ(texts_of(*t), (std::vector<std::string>{"x", "y", "early", "late", "w"}));
}

TEST(SharedStringTable, RefusesTextsThatAreNotUtf8) {
    Workbook wb = Workbook::make_new();
    wb.sheets[0].set_cell("b2", Value{std::string("ab\xFF")});
    auto t = table_of(wb);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(t.error().message, "sheet \"Sheet\" cell B2: text is not valid UTF-8 (byte 0xFF at offset 2)");

    // Characters XML cannot carry are written as escapes; tab, line feed and carriage return as
    // they are.
    for (const std::string text : {"bell\x07", "ok\xEF\xBF\xBE", "a\tb\nc\rd"}) {
        wb.sheets[0].set_cell("b2", Value{text});
        EXPECT_TRUE(table_of(wb)) << text;
    }
}

TEST(SharedStringsPart, ExactText) {
    SharedStringTable t;
    t.insert("a<b & 'c' \"d\"");
    t.insert("Hello");
    t.insert("");
    t.insert("\x01_x0041_");
    auto xml = write_shared_strings_xml(t);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, std::string(kDecl) + std::string(kSst) +
                        R"( count="4" uniqueCount="4"><si><t>a&lt;b &amp; &apos;c&apos; &quot;d&quot;</t></si>)"
                        R"(<si><t>Hello</t></si><si><t></t></si><si><t>_x0001__x005F_x0041_</t></si></sst>)");
    EXPECT_TRUE(test::parses_as_xml(*xml));
}

TEST(SharedStringsPart, WhiteSpaceSurvivesReaders) {
    SharedStringTable t;
    t.insert(" lead");
    t.insert("trail\n");
    t.insert("in side");
    t.insert("cr\r\nlf");
    t.insert("\t");
    auto xml = write_shared_strings_xml(t);
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find(R"(<si><t xml:space="preserve"> lead</t></si>)"), std::string::npos);
    EXPECT_NE(xml->find("<si><t xml:space=\"preserve\">trail\n</t></si>"), std::string::npos);
    EXPECT_NE(xml->find("<si><t>in side</t></si>"), std::string::npos);
    EXPECT_NE(xml->find("<si><t>cr&#13;\nlf</t></si>"), std::string::npos);
    EXPECT_NE(xml->find("<si><t xml:space=\"preserve\">\t</t></si>"), std::string::npos);
    EXPECT_TRUE(test::parses_as_xml(*xml));
}

TEST(SharedStringsPart, KeptItemsBesidePlainTexts) {
    // Cells reading one item share its index; the same text without runs is an item of its own.
    const auto bold = std::make_shared<const std::string>("<si><r><rPr><b/></rPr><t>ab</t></r></si>");
    const auto bold_copy = std::make_shared<const std::string>(*bold);
    Workbook wb = Workbook::make_new();
    Worksheet& ws = wb.sheets[0];
    for (const auto& [key, item] : {std::pair{"A1", bold}, std::pair{"A2", bold_copy}, std::pair{"A3", decltype(bold){}}}) {
        ws.set_cell(key, Value{std::string("ab")});
        if (item) ws.find_cell_mut(key)->extras_mut().kept = KeptValue{item, {}, {}, {}};
    }
    auto t = table_of(wb);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->size(), 2u);
    EXPECT_EQ(t->find_cell(*ws.find_cell("A2")), 0u);
    EXPECT_EQ(t->find_cell(*ws.find_cell("A3")), 1u);
    auto xml = write_shared_strings_xml(*t);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, std::string(kDecl) + std::string(kSst) +
                        R"( xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")"
                        R"( count="2" uniqueCount="2"><si><r><rPr><b/></rPr><t>ab</t></r></si><si><t>ab</t></si></sst>)");
}
