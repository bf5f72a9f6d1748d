#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/workbook.hpp"
#include "support/xml_well_formed.hpp"
#include "writer/cell_order.hpp"
#include "writer/sheet_rels_writer.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

const std::string kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
const std::string kComments = kRel + "comments";
const std::string kVml = kRel + "vmlDrawing";
const std::string kTable = kRel + "table";
const std::string kLink = kRel + "hyperlink";
const std::string kPrinter = kRel + "printerSettings";
const std::string kDrawing = kRel + "drawing";

SheetRelEntry rel(std::string id, const std::string& type, std::string target, std::optional<std::string> mode = {}) {
    return {std::move(id), type, std::move(target), std::move(mode)};
}

// "id type-suffix target [mode]" per entry, so expectations read as one line each.
std::vector<std::string> summary(const std::vector<SheetRelEntry>& list) {
    std::vector<std::string> out;
    for (const SheetRelEntry& e : list) {
        std::string s = e.id + " " + e.rel_type.substr(kRel.size()) + " " + e.target;
        if (e.target_mode) s += " " + *e.target_mode;
        out.push_back(s);
    }
    return out;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(SheetRelIds, NumberedIdsAndNextNumber) {
    EXPECT_EQ(rel_id_number("rId7"), 7u);
    EXPECT_EQ(rel_id_number("rId007"), 7u);
    EXPECT_EQ(rel_id_number("rId+9"), 9u);
    EXPECT_EQ(rel_id_number("rId4294967295"), 4294967295u);
    for (const char* not_numbered : {"rId", "rId+", "rId-1", "rId1a", "RID2", " rId2", "rId4294967296", "rId++1", "x"})
        EXPECT_FALSE(rel_id_number(not_numbered)) << not_numbered;

    EXPECT_EQ(next_rel_id({}), 1u);
    EXPECT_EQ(next_rel_id({rel("rId7", kDrawing, "a"), rel("rId007", kDrawing, "b"), rel("rId+9", kDrawing, "c"),
                           rel("rIdX", kDrawing, "d"), rel("RID12", kDrawing, "e")}),
              10u);
    // The next number past the 32-bit range is computed, not wrapped to 0.
    EXPECT_EQ(next_rel_id({rel("rId4294967295", kDrawing, "a")}), 4294967296u);
}

TEST(SheetRelIds, NewIdsNeverMeetAnExistingText) {
    // rId4294967296 is not a numbered id, so the next number lands on its text: it is skipped.
    const std::vector<SheetRelEntry> list{rel("rId4294967295", kPrinter, "../printerSettings/p1.bin"),
                                          rel("rId4294967296", kDrawing, "../drawings/drawing1.xml")};
    EXPECT_EQ(summary(upsert_table_rels(list, {"../tables/table1.xml", "../tables/table2.xml"})),
              (Lines{"rId4294967295 printerSettings ../printerSettings/p1.bin",
                     "rId4294967296 drawing ../drawings/drawing1.xml", "rId4294967297 table ../tables/table1.xml",
                     "rId4294967298 table ../tables/table2.xml"}));
    EXPECT_EQ(id_for_type_or_next(list, kComments, {}), "rId4294967297");
    // Pending entries count as taken as well.
    EXPECT_EQ(id_for_type_or_next({rel("rId3", kDrawing, "d")}, kComments, {rel("rId5", kPrinter, "p")}), "rId6");
    EXPECT_EQ(id_for_type_or_next({rel("rId3", kComments, "c")}, kComments, {rel("rId5", kPrinter, "p")}), "rId3");
}

TEST(SheetRelUpserts, CommentsKeepTheirIds) {
    // A new workbook: comments then VML drawing.
    EXPECT_EQ(summary(upsert_comment_rels({}, "../comments1.xml", "../drawings/vmlDrawing1.vml")),
              (Lines{"rId1 comments ../comments1.xml", "rId2 vmlDrawing ../drawings/vmlDrawing1.vml"}));

    // Read ids are reused, other entries keep their place, targets follow the sheet's position.
    const std::vector<SheetRelEntry> read{rel("rId1", kPrinter, "../printerSettings/printerSettings1.bin"),
                                          rel("rId2", kVml, "../drawings/vmlDrawing7.vml"),
                                          rel("rId3", kComments, "../comments7.xml")};
    const auto before = read;
    EXPECT_EQ(summary(upsert_comment_rels(read, "../comments2.xml", "../drawings/vmlDrawing2.vml")),
              (Lines{"rId1 printerSettings ../printerSettings/printerSettings1.bin", "rId3 comments ../comments2.xml",
                     "rId2 vmlDrawing ../drawings/vmlDrawing2.vml"}));
    EXPECT_EQ(read, before);

    // Only comments read: the drawing takes the next number.
    EXPECT_EQ(summary(upsert_comment_rels({rel("rId2", kComments, "../comments1.xml")}, "../comments1.xml",
                                          "../drawings/vmlDrawing1.vml")),
              (Lines{"rId2 comments ../comments1.xml", "rId3 vmlDrawing ../drawings/vmlDrawing1.vml"}));

    // Further entries of either kind disappear.
    EXPECT_EQ(summary(upsert_comment_rels({rel("rId1", kComments, "a"), rel("rId2", kComments, "b"),
                                           rel("rId4", kVml, "c"), rel("rId5", kVml, "d")},
                                          "../comments1.xml", "../drawings/vmlDrawing1.vml")),
              (Lines{"rId1 comments ../comments1.xml", "rId4 vmlDrawing ../drawings/vmlDrawing1.vml"}));

    EXPECT_EQ(summary(remove_comment_rels(read)), (Lines{"rId1 printerSettings ../printerSettings/printerSettings1.bin"}));

    // An id the source gave to more than one relationship is not reused where it would be shared.
    EXPECT_EQ(summary(upsert_comment_rels({rel("rId1", kPrinter, "p.bin"), rel("rId1", kComments, "a"), rel("rId1", kVml, "b")},
                                          "../comments1.xml", "../drawings/vmlDrawing1.vml")),
              (Lines{"rId1 printerSettings p.bin", "rId2 comments ../comments1.xml", "rId3 vmlDrawing ../drawings/vmlDrawing1.vml"}));
    EXPECT_EQ(summary(upsert_comment_rels({rel("rId1", kComments, "a"), rel("rId1", kVml, "b")}, "../comments1.xml",
                                          "../drawings/vmlDrawing1.vml")),
              (Lines{"rId1 comments ../comments1.xml", "rId2 vmlDrawing ../drawings/vmlDrawing1.vml"}));
}

TEST(SheetRelUpserts, TablesAndHyperlinksAreRenumbered) {
    EXPECT_EQ(summary(upsert_table_rels({rel("rId1", kTable, "../tables/table9.xml"), rel("rId2", kDrawing, "d.xml")},
                                        {"../tables/table1.xml"})),
              (Lines{"rId2 drawing d.xml", "rId3 table ../tables/table1.xml"}));
    // A list of nothing but tables is numbered from 1 again.
    EXPECT_EQ(summary(upsert_table_rels({rel("rId4", kTable, "x"), rel("rId5", kTable, "y")},
                                        {"../tables/table1.xml", "../tables/table2.xml"})),
              (Lines{"rId1 table ../tables/table1.xml", "rId2 table ../tables/table2.xml"}));
    // No targets: the kind is removed.
    EXPECT_EQ(summary(upsert_table_rels({rel("rId1", kTable, "x"), rel("rId2", kDrawing, "d.xml")}, {})),
              (Lines{"rId2 drawing d.xml"}));

    // Every target gets its own External entry, repeats included.
    EXPECT_EQ(summary(upsert_hyperlink_rels({rel("rId1", kLink, "http://old", "External"), rel("rId2", kDrawing, "d.xml")},
                                            {"http://a", "http://a"})),
              (Lines{"rId2 drawing d.xml", "rId3 hyperlink http://a External", "rId4 hyperlink http://a External"}));
    EXPECT_EQ(summary(upsert_hyperlink_rels({rel("rId1", kLink, "http://old", "External")}, {})), Lines{});
}

TEST(SheetRelsPart, ExactTextAndEscaping) {
    auto part = write_sheet_rels({rel("rId1", kComments, "../comments1.xml"),
                                  rel("rId2", kLink, "http://x/?a=1&b='2'\t", "External")},
                                 "Sheet1");
    ASSERT_TRUE(part) << part.error().display();
    EXPECT_EQ(*part,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"rId1\" Type=\"" + kComments + "\" Target=\"../comments1.xml\"/>"
              "<Relationship Id=\"rId2\" Type=\"" + kLink + "\" Target=\"http://x/?a=1&amp;b=&apos;2&apos;&#9;\""
              " TargetMode=\"External\"/>"
              "</Relationships>");
    EXPECT_TRUE(velmo::test::parses_as_xml(*part));

    auto empty = write_sheet_rels({}, "Sheet1");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(velmo::test::parses_as_xml(*empty));

    auto bad = write_sheet_rels({rel("rId1", kLink, "http://x/\x01", "External")}, "Data");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(bad.error().message.rfind("sheet \"Data\" relationship \"rId1\": ", 0), 0u) << bad.error().message;
}

namespace {

struct Settled {
    Workbook wb = Workbook::make_new();
    Worksheet& ws() { return wb.sheets[0]; }
    Result<SettledSheetRels> settle(std::vector<uint64_t> parts = {}, size_t index = 0) {
        auto order = order_sheet_cells(wb.sheets[index]);
        if (!order) return fail(order.error());
        return settle_sheet_rels(wb, index, *order, parts);
    }
};

void link_to_location(Worksheet& ws, const char* key, const char* location) {
    Hyperlink h;
    h.location = location;
    ws.ensure_cell_mut(key).extras_mut().hyperlink = h;
}

}  // namespace

TEST(SettleSheetRels, NewSheetGetsCommentsTablesAndLinksInOrder) {
    Settled s;
    s.ws().set_cell_hyperlink("C2", "http://c");
    link_to_location(s.ws(), "A5", "Other!A1");
    s.ws().set_cell_hyperlink("B2", "http://b");
    s.ws().set_cell_comment("A1", Comment{"note", "me"});
    auto r = s.settle({2, 3});
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(summary(r->entries),
              (Lines{"rId1 comments ../comments1.xml", "rId2 vmlDrawing ../drawings/vmlDrawing1.vml",
                     "rId3 table ../tables/table2.xml", "rId4 table ../tables/table3.xml",
                     "rId5 hyperlink http://b External", "rId6 hyperlink http://c External"}));
    EXPECT_EQ(r->ids.legacy_drawing_id, "rId2");
    EXPECT_EQ(r->ids.table_part_ids, (Lines{"rId3", "rId4"}));
    ASSERT_EQ(r->ids.hyperlinks.size(), 3u);
    EXPECT_EQ(r->ids.hyperlinks[0].cell_ref, "B2");
    EXPECT_EQ(r->ids.hyperlinks[0].rel_id, "rId5");
    EXPECT_EQ(r->ids.hyperlinks[1].cell_ref, "C2");
    EXPECT_EQ(r->ids.hyperlinks[1].rel_id, "rId6");
    EXPECT_EQ(r->ids.hyperlinks[2].cell_ref, "A5");
    EXPECT_FALSE(r->ids.hyperlinks[2].rel_id);
}

TEST(SettleSheetRels, RemovedFeaturesLeaveNoRelationshipBehind) {
    Settled s;
    s.wb.sheet_relationships[0] = {rel("rId1", kPrinter, "../printerSettings/printerSettings1.bin"),
                                   rel("rId2", kComments, "../comments1.xml"), rel("rId3", kVml, "../drawings/vmlDrawing1.vml"),
                                   rel("rId4", kTable, "../tables/table1.xml"), rel("rId5", kLink, "http://x", "External"),
                                   rel("rId6", kDrawing, "../drawings/drawing1.xml")};
    const auto read = s.wb.sheet_relationships[0];
    link_to_location(s.ws(), "A1", "Sheet!B2");  // location only: no relationship
    auto r = s.settle();
    ASSERT_TRUE(r);
    EXPECT_EQ(summary(r->entries), (Lines{"rId1 printerSettings ../printerSettings/printerSettings1.bin",
                                          "rId6 drawing ../drawings/drawing1.xml"}));
    EXPECT_FALSE(r->ids.legacy_drawing_id);
    EXPECT_TRUE(r->ids.table_part_ids.empty());
    EXPECT_EQ(s.wb.sheet_relationships[0], read);

    // The same sheet still holding everything keeps the comment ids and appends the rest after them.
    s.ws().set_cell_comment("B1", Comment{"t", "a"});
    s.ws().set_cell_hyperlink("C3", "http://y");
    auto again = s.settle({1});
    ASSERT_TRUE(again);
    EXPECT_EQ(summary(again->entries),
              (Lines{"rId1 printerSettings ../printerSettings/printerSettings1.bin", "rId6 drawing ../drawings/drawing1.xml",
                     "rId2 comments ../comments1.xml", "rId3 vmlDrawing ../drawings/vmlDrawing1.vml",
                     "rId7 table ../tables/table1.xml", "rId8 hyperlink http://y External"}));
    // Settling twice gives the same ids.
    auto third = s.settle({1});
    ASSERT_TRUE(third);
    EXPECT_EQ(third->entries, again->entries);
}

TEST(SettleSheetRels, SheetsWithoutAListStartEmptyAndBadTargetsAreRefused) {
    Settled s;
    s.wb.sheets.emplace_back("Second");  // no relationship list kept for it
    s.wb.sheet_relationships[0] = {rel("rId1", kDrawing, "../drawings/drawing1.xml")};
    s.wb.sheets[1].set_cell_comment("A1", Comment{"x", ""});
    auto r = s.settle({}, 1);
    ASSERT_TRUE(r);
    EXPECT_EQ(summary(r->entries),
              (Lines{"rId1 comments ../comments2.xml", "rId2 vmlDrawing ../drawings/vmlDrawing2.vml"}));

    s.wb.sheets[1].set_cell_hyperlink("B2", "http://x/\x7F\x0B");
    auto bad = s.settle({}, 1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(bad.error().message.rfind("sheet \"Second\" hyperlink at B2: ", 0), 0u) << bad.error().message;
}
