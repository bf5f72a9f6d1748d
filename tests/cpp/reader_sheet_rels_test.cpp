#include <gtest/gtest.h>

#include <string>

#include "reader/sheet_rels.hpp"

using namespace velmo;
using namespace velmo::reader;

TEST(SheetRels, ReadsEntriesInDocumentOrder) {
    auto r = parse_sheet_rels(R"(<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
        <Relationship Id="rId1" Type="http://x/hyperlink" Target="https://example.com/?a=1&amp;b=2" TargetMode="External"/>
        <Relationship Id="rId2" Type="http://x/table"/>
        <Relationship Id="rId2" Type="http://x/table" Target="../tables/table1.xml" TargetMode="odd"/>
        <pr:Relationship xmlns:pr="p" Id="rId3" Type="t" Target=""></pr:Relationship></Relationships>)");
    ASSERT_TRUE(r) << r.error().message;
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0], (SheetRelEntry{"rId1", "http://x/hyperlink", "https://example.com/?a=1&b=2", "External"}));
    EXPECT_EQ((*r)[1], (SheetRelEntry{"rId2", "http://x/table", "../tables/table1.xml", "odd"}));
    EXPECT_EQ((*r)[2], (SheetRelEntry{"rId3", "t", "", std::nullopt}));

    auto empty = parse_sheet_rels("<Relationships/>");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    for (const char* doc : {R"(<Relationships><Relationship Id="a" Type="&bad;" Target="x"/></Relationships>)",
                            "<Relationships><Relationship Id=\"a\" Type=\"t\" Target=\"\xff\"/></Relationships>"}) {
        auto bad = parse_sheet_rels(doc);
        ASSERT_FALSE(bad);
        EXPECT_EQ(bad.error().kind, ErrorKind::Xml);
    }
}

TEST(SheetRels, RelsPath) {
    EXPECT_EQ(sheet_rels_path("xl/worksheets/sheet1.xml"), "xl/worksheets/_rels/sheet1.xml.rels");
    EXPECT_EQ(sheet_rels_path("sheet1.xml"), "_rels/sheet1.xml.rels");
    EXPECT_EQ(sheet_rels_path("/sheet1.xml"), "_rels/sheet1.xml.rels");
}

TEST(SheetRels, ResolveTarget) {
    const std::string_view ws = "xl/worksheets/sheet1.xml";
    EXPECT_EQ(resolve_sheet_target(ws, "../comments1.xml"), "xl/comments1.xml");
    EXPECT_EQ(resolve_sheet_target(ws, "../tables/table2.xml"), "xl/tables/table2.xml");
    EXPECT_EQ(resolve_sheet_target(ws, "/xl/comments1.xml"), "xl/comments1.xml");
    EXPECT_EQ(resolve_sheet_target(ws, "xl/comments1.xml"), "xl/comments1.xml");
    EXPECT_EQ(resolve_sheet_target(ws, "./a//b.xml"), "xl/worksheets/a/b.xml");
    EXPECT_EQ(resolve_sheet_target(ws, "../../../x.xml"), "x.xml");
    EXPECT_EQ(resolve_sheet_target(ws, ""), "xl/worksheets");
    EXPECT_EQ(resolve_sheet_target("sheet.xml", "c.xml"), "c.xml");
}

TEST(SheetRels, LookupsCompareWholeTextsAndKeepOrder) {
    const std::vector<SheetRelEntry> rels = {
        {"rId1", "T/table", "t1.xml", std::nullopt},
        {"rId2", "T/comments", "c.xml", std::nullopt},
        {"rId1", "T/table", "t2.xml", std::nullopt},
    };
    EXPECT_EQ(relation_target_for_id(rels, "rId1"), "t1.xml");
    EXPECT_EQ(relation_target_for_id(rels, "rid1"), std::nullopt);
    EXPECT_EQ(relation_target_for_type(rels, "T/comments"), "c.xml");
    EXPECT_EQ(relation_target_for_type(rels, "t/comments"), std::nullopt);
    EXPECT_EQ(relation_target_for_type(rels, "comments"), std::nullopt);
    EXPECT_EQ(relation_targets_for_type(rels, "T/table"), (std::vector<std::string_view>{"t1.xml", "t2.xml"}));
    EXPECT_TRUE(relation_targets_for_type(rels, "none").empty());
    // Look-ups hand out the stored text, not a copy.
    EXPECT_EQ(relation_target_for_id(rels, "rId2")->data(), rels[1].target.data());
    EXPECT_EQ(copy_rel_entry(rels[0]), rels[0]);
}
