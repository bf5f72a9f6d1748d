// What a save carries of a loaded worksheet: the children of its worksheet element the model does
// not hold, in their place and with their relationships, and the merges of the sheet views and
// the sheet format with the model.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "xml/tokenizer.hpp"
#include "support/package_builder.hpp"
#include "support/temp_dir.hpp"
#include "support/xml_well_formed.hpp"
#include "support/zip_outputs.hpp"
#include "writer/carried_merge.hpp"
#include "writer/package.hpp"
#include "zip/archive_reader.hpp"

using namespace velmo;
using test::rel_type;
using test::relationship;
using test::relationships;

namespace {

// Loads `p` from a file, lets `edit` change the model, and saves it to memory.
zip::ArchiveReader round_trip(test::Package p, const std::function<void(Workbook&)>& edit = {}) {
    p.set("[Content_Types].xml",
          "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
          "<Default Extension=\"rels\" ContentType=\"r\"/><Default Extension=\"xml\" ContentType=\"x\"/>"
          "<Default Extension=\"vml\" ContentType=\"v\"/></Types>");
    test::TempDir dir("velmo_carried");
    test::write_file(dir.file("src.xlsx"), p.build());
    auto wb = reader::open_workbook(dir.file("src.xlsx"));
    EXPECT_TRUE(wb) << wb.error().display();
    if (edit) edit(*wb);
    test::StringOutput out;
    auto saved = writer::write_package(*wb, out, wb->source_path);
    EXPECT_TRUE(saved) << saved.error().display();
    return std::move(*zip::ArchiveReader::open_memory(out.bytes));
}

std::string part(const zip::ArchiveReader& a, std::string_view name) {
    const zip::Entry* e = a.find(name);
    return e ? *a.read(*e) : "<missing>";
}

// The first sheet's part once `p` is loaded, edited by `edit` when given, and saved; checked to parse.
std::string saved_sheet(const test::Package& p, const std::function<void(Worksheet&)>& edit) {
    const auto saved = round_trip(p, [&](Workbook& wb) {
        if (edit) edit(wb.sheets[0]);
    });
    std::string sheet = part(saved, "xl/worksheets/sheet1.xml");
    EXPECT_TRUE(test::parses_as_xml(sheet)) << sheet;
    return sheet;
}

// The names of the root's children.
std::vector<std::string> children(std::string_view doc) {
    xml::Tokenizer tok(doc);
    xml::Event ev;
    std::vector<std::string> out;
    while (tok.next(ev))
        if (ev.is_tag() && tok.depth() == (ev.kind == xml::EventKind::Start ? 2u : 1u)) out.emplace_back(ev.name);
    return out;
}

std::string comments_part() {
    return "<comments xmlns=\"" + std::string(test::kMainNs) +
           "\"><authors><author>a</author></authors><commentList><comment ref=\"A1\" authorId=\"0\">"
           "<text><t>note</t></text></comment></commentList></comments>";
}

}  // namespace

TEST(CarriedSheet, ChildrenComeBackInSchemaOrderAsTheSourceWroteThem) {
    const std::string head_footer = "<headerFooter><oddHeader>&amp;C Title </oddHeader></headerFooter>";
    const std::string validations =
        "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"A1\"><formula1>\"a,b\"</formula1>"
        "</dataValidation></dataValidations>";
    const std::string future = "<f:future xmlns:f=\"urn:future\"><f:x/></f:future>";
    test::Package p;
    p.sheet("S",
            "<sheetPr><tabColor rgb=\"FFFF0000\"/></sheetPr><dimension ref=\"A1\"/>"
            "<sheetFormatPr defaultRowHeight=\"15\"/><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
            "<sheetProtection sheet=\"1\"/>" +
                validations + "<pageMargins left=\"1\" right=\"1\" top=\"1\" bottom=\"1\" header=\"0\" footer=\"0\"/>" +
                "<pageSetup orientation=\"landscape\" r:id=\"rId1\"/>" + future + head_footer +
                "<drawing r:id=\"rId2\"/><extLst><ext uri=\"{1}\" xmlns:q=\"urn:q\"><q:x/></ext></extLst>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          relationships(relationship("rId1", rel_type("printerSettings"), "../printerSettings/printerSettings1.bin") +
                        relationship("rId2", rel_type("drawing"), "../drawings/drawing1.xml")));
    const auto saved = round_trip(p, [](Workbook& wb) {
        wb.sheets[0].merge_cells("A1:B1");
        wb.sheets[0].set_cell_hyperlink("A1", "https://example.com");
        wb.sheets[0].freeze_panes = "A2";
    });
    const std::string sheet = part(saved, "xl/worksheets/sheet1.xml");
    EXPECT_TRUE(test::parses_as_xml(sheet));
    EXPECT_EQ(children(sheet),
              (std::vector<std::string>{"sheetPr", "sheetViews", "sheetFormatPr", "sheetData", "sheetProtection",
                                        "mergeCells", "dataValidations", "hyperlinks", "pageMargins", "pageSetup",
                                        "f:future", "headerFooter", "drawing", "extLst"}));
    for (const std::string& kept : {validations, future, head_footer, std::string("<tabColor rgb=\"FFFF0000\"/>"),
                                    std::string("<pageSetup orientation=\"landscape\" r:id=\"rId1\"/>"),
                                    std::string("<drawing r:id=\"rId2\"/>")})
        EXPECT_NE(sheet.find(kept), std::string::npos) << kept;
    // The new hyperlink takes an id no kept relationship holds.
    EXPECT_NE(part(saved, "xl/worksheets/_rels/sheet1.xml.rels").find(relationship("rId3", rel_type("hyperlink"), "https://example.com", "External")),
              std::string::npos);
}

TEST(CarriedSheet, LegacyDrawingsFollowTheirRelationships) {
    const std::string vml = rel_type("vmlDrawing"), comments = rel_type("comments");
    struct Case {
        const char* name;
        std::string body;  // after sheetData
        std::string rels;
        bool drop_comment;
        std::vector<std::string> present, absent;  // in the saved sheet and its relationships
    };
    const Case cases[] = {
        {"form controls without comments keep their drawing",
         "<legacyDrawing r:id=\"rId1\"/>", relationship("rId1", vml, "../drawings/vmlDrawing1.vml"), false,
         {"<legacyDrawing r:id=\"rId1\"/>", relationship("rId1", vml, "../drawings/vmlDrawing1.vml")},
         {}},
        {"comments all gone take their drawing along",
         "<legacyDrawing r:id=\"rId2\"/>",
         relationship("rId1", comments, "../comments1.xml") + relationship("rId2", vml, "../drawings/vmlDrawing1.vml"),
         true, {}, {"legacyDrawing", "vmlDrawing", "comments"}},
        {"a header picture's drawing is not the comments'",
         "<legacyDrawing r:id=\"rId2\"/><legacyDrawingHF r:id=\"rId3\"/>",
         relationship("rId1", comments, "../comments1.xml") + relationship("rId2", vml, "../drawings/vmlDrawing1.vml") +
             relationship("rId3", vml, "../drawings/vmlDrawing2.vml"),
         false,
         {"<legacyDrawing r:id=\"rId2\"/><legacyDrawingHF r:id=\"rId3\"/>",
          relationship("rId3", vml, "../drawings/vmlDrawing2.vml"), relationship("rId2", vml, "../drawings/vmlDrawing1.vml")},
         {}},
        {"an element naming no relationship is left out", "<drawing r:id=\"rId9\"/><picture r:id=\"rId1\"/>",
         relationship("rId1", rel_type("image"), "../media/image1.png"), false, {"<picture"}, {"<drawing"}},
    };
    for (const Case& c : cases) {
        test::Package p;
        p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>" + c.body);
        p.set("xl/worksheets/_rels/sheet1.xml.rels", relationships(c.rels));
        p.set("xl/comments1.xml", comments_part());
        const auto saved = round_trip(p, [&](Workbook& wb) {
            if (c.drop_comment) wb.sheets[0].find_cell_mut("A1")->extras.reset();
        });
        const std::string text = part(saved, "xl/worksheets/sheet1.xml") + part(saved, "xl/worksheets/_rels/sheet1.xml.rels");
        for (const std::string& s : c.present) EXPECT_NE(text.find(s), std::string::npos) << c.name << ": " << s;
        for (const std::string& s : c.absent) EXPECT_EQ(text.find(s), std::string::npos) << c.name << ": " << s;
    }
}

TEST(CarriedSheet, CommentsDrawingNeverOverwritesADrawingThatIsKept) {
    // Sheet 1's comments make a drawing; sheet 2's form controls keep theirs, which the source
    // happened to name after sheet 1.
    test::Package p;
    p.sheet("One", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    p.sheet("Two", "<sheetData/><legacyDrawing r:id=\"rId1\"/>");
    p.set("xl/worksheets/_rels/sheet2.xml.rels",
          relationships(relationship("rId1", rel_type("vmlDrawing"), "../drawings/vmlDrawing1.vml")));
    p.set("xl/drawings/vmlDrawing1.vml", "<xml>controls</xml>");
    const auto saved = round_trip(p, [](Workbook& wb) { wb.sheets[0].set_cell_comment("A1", Comment{"n", "a"}); });
    EXPECT_EQ(part(saved, "xl/drawings/vmlDrawing1.vml"), "<xml>controls</xml>");
    EXPECT_NE(part(saved, "xl/drawings/vmlDrawing3.vml"), "<missing>");
    EXPECT_NE(part(saved, "xl/worksheets/_rels/sheet1.xml.rels").find("../drawings/vmlDrawing3.vml"), std::string::npos);
}

TEST(CarriedSheet, OnlyTheActiveSheetComesOutSelected) {
    const std::string views = "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews><sheetData/>";
    test::Package p;
    p.workbook_head("<bookViews><workbookView activeTab=\"1\"/></bookViews>");
    p.sheet("One", views).sheet("Two", views);
    const auto saved = round_trip(p);
    EXPECT_EQ(part(saved, "xl/worksheets/sheet1.xml").find("tabSelected"), std::string::npos);
    EXPECT_NE(part(saved, "xl/worksheets/sheet2.xml").find("tabSelected=\"1\""), std::string::npos);
}

TEST(CarriedMerge, SheetViewsTakeTheModelsPaneAndActiveSheet) {
    const std::string b2 = writer::frozen_pane_xml("B2");
    struct Case {
        const char* name;
        std::string views;
        bool selected, pane_changed;
        std::string pane, want;
    };
    const std::string kept = "<sheetViews><sheetView tabSelected=\"1\" zoomScale=\"150\" workbookViewId=\"0\"/></sheetViews>";
    const Case cases[] = {
        {"nothing changed", kept, true, false, "", kept},
        {"another sheet is active", kept, false, false, "",
         "<sheetViews><sheetView zoomScale=\"150\" workbookViewId=\"0\"/></sheetViews>"},
        {"a pane in a view that had none", kept, true, true, b2,
         "<sheetViews><sheetView zoomScale=\"150\" workbookViewId=\"0\" tabSelected=\"1\">" + b2 +
             "</sheetView></sheetViews>"},
        {"a changed pane replaces the old one and its selections, the rest stays",
         "<sheetViews><sheetView showGridLines=\"0\" workbookViewId=\"0\"><pane ySplit=\"4\" topLeftCell=\"A5\" "
         "state=\"frozen\"/><selection/><selection pane=\"bottomLeft\" activeCell=\"C9\"/><extLst/></sheetView>"
         "<sheetView workbookViewId=\"1\"><pane state=\"frozen\"/></sheetView></sheetViews>",
         false, true, b2,
         "<sheetViews><sheetView showGridLines=\"0\" workbookViewId=\"0\">" + b2 +
             "<selection/><extLst/></sheetView><sheetView workbookViewId=\"1\"><pane state=\"frozen\"/></sheetView>"
             "</sheetViews>"},
        {"a pane removed", "<sheetViews><sheetView workbookViewId=\"0\"><pane/><selection pane=\"topRight\"/></sheetView></sheetViews>",
         false, true, "", "<sheetViews><sheetView workbookViewId=\"0\"></sheetView></sheetViews>"},
        // A pane set, replaced or cleared counts from A1: the view's scroll position goes with the old pane.
        {"a pane in a scrolled view", "<sheetViews><sheetView topLeftCell=\"A16\" workbookViewId=\"0\"/></sheetViews>",
         false, true, b2, "<sheetViews><sheetView workbookViewId=\"0\">" + b2 + "</sheetView></sheetViews>"},
        {"a scrolled view selected, its pane left alone", "<sheetViews><sheetView topLeftCell=\"A16\"/></sheetViews>",
         true, false, "", "<sheetViews><sheetView topLeftCell=\"A16\" tabSelected=\"1\"/></sheetViews>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(writer::merge_sheet_views(c.views, c.selected, c.pane_changed, c.pane), c.want) << c.name;

    EXPECT_EQ(writer::with_outline_levels("<sheetFormatPr defaultRowHeight=\"15\" outlineLevelRow=\"3\"/>", 1, 0),
              "<sheetFormatPr defaultRowHeight=\"15\" outlineLevelRow=\"1\"/>");
    EXPECT_EQ(writer::with_outline_levels("<sheetFormatPr outlineLevelCol='2'/>", 0, 2), "<sheetFormatPr outlineLevelCol='2'/>");
}

// What edits and new ranges do to them is the Python tests' (test_worksheet_edits.py).
TEST(CarriedSheet, AutoFilterCriteriaAndLinkRangesComeBack) {
    const std::string filter =
        "<autoFilter ref=\"A1:D51\"><filterColumn colId=\"0\"><filters><filter val=\"East\"/></filters></filterColumn>"
        "<filterColumn colId=\"2\"><customFilters and=\"1\"><customFilter operator=\"greaterThan\" val=\"3000\"/>"
        "<customFilter operator=\"lessThan\" val=\"8000\"/></customFilters></filterColumn>"
        "<sortState ref=\"A2:D51\"><sortCondition ref=\"C2:C51\"/></sortState>"
        "<extLst><ext uri=\"{1}\" xmlns:x14=\"urn:x14\"><x14:f/></ext></extLst></autoFilter>";
    const std::string links = "<hyperlinks><hyperlink ref=\"C2:B1\" location=\"S!A9\"/>"
                              "<hyperlink ref=\"D4:junk\" location=\"S!A8\"/></hyperlinks>";
    struct Case {
        const char* name;
        std::string body;  // after sheetData
        std::function<void(Worksheet&)> edit;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"an unchanged filter, in its place", filter + "<mergeCells count=\"1\"><mergeCell ref=\"F1:G1\"/></mergeCells>", {},
         {"</sheetData>" + filter + "<mergeCells"}, {}},
        {"criteria that cannot be written back leave the range", "<autoFilter ref=\"A1:B2\"><q:x/></autoFilter>", {},
         {"<autoFilter ref=\"A1:B2\"/>"}, {"q:x"}},
        {"criteria that are not XML leave the range too",
         "<autoFilter ref=\"A1:B2\"><filterColumn colId=\"0\"hiddenButton=\"1\"/></autoFilter>", {},
         {"<autoFilter ref=\"A1:B2\"/>"}, {"filterColumn"}},
        {"link ranges in canonical form; a bad range gives the cell", links, {},
         {"<hyperlink ref=\"B1:C2\" location=\"S!A9\"/>", "<hyperlink ref=\"D4\" location=\"S!A8\"/>"}, {}},
        {"a link set on its cell covers that cell", links,
         [](Worksheet& ws) { ws.set_cell_hyperlink("B1", "https://example.com/"); },
         {"<hyperlink ref=\"B1\" r:id="}, {"B1:C2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Package p;
        p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>" + c.body);
        const std::string sheet = saved_sheet(p, c.edit);
        for (const std::string& s : c.present) EXPECT_NE(sheet.find(s), std::string::npos) << s << "\n" << sheet;
        for (const std::string& s : c.absent) EXPECT_EQ(sheet.find(s), std::string::npos) << s << "\n" << sheet;
    }
}

// The namespaces the source's root marks ignorable stay so on the saved root, as long as something
// the part carries over uses them: the kept elements it writes, what conditional formatting rules
// kept. Prefixes bound to the main or relationships namespace are never marked.
TEST(CarriedSheet, RootMarksIgnorableWhatTheCopyUsesFromTheSourcesList) {
    const std::string mc = "http://schemas.openxmlformats.org/markup-compatibility/2006";
    const std::string root_of_source =
        "<worksheet xmlns=\"" + std::string(test::kMainNs) + "\" xmlns:r=\"" + test::kOfficeRelsNs + "\" xmlns:mc=\"" +
        mc + "\" mc:Ignorable=\"u b a s q c d\" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" xmlns:c=\"urn:c\" xmlns:d=\"urn:d\" " +
        "xmlns:s=\"" + test::kMainNs + "\" xmlns:q=\"" + test::kOfficeRelsNs + "\" xmlns:e=\"urn:e\">";
    const std::string saved_root = std::string("<worksheet xmlns=\"") + test::kMainNs + "\"";
    const std::string r = std::string(" xmlns:r=\"") + test::kOfficeRelsNs + "\"";
    const std::string filter = "<autoFilter ref=\"A1:B2\" b:uid=\"{1}\"/>";
    const std::string rule = "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" priority=\"1\" d:id=\"1\">"
                             "<formula>1</formula><extLst><ext uri=\"{2}\"><c:x/></ext></extLst></cfRule></conditionalFormatting>";
    const struct {
        const char* name;
        std::string body;  // after sheetData
        std::function<void(Worksheet&)> edit;
        std::string root_rest;  // the saved root after the default namespace
    } cases[] = {
        {"as listed, first by the source's order; unlisted and unused ones not",
         "<sheetFormatPr defaultRowHeight=\"15\" a:x=\"1\" e:y=\"2\"/>" + filter + "<pageMargins s:left=\"1\" q:id=\"1\"/>",
         {},
         r + " xmlns:mc=\"" + mc + "\" mc:Ignorable=\"b a\" xmlns:b=\"urn:b\" xmlns:a=\"urn:a\">"},
        {"a filter set anew takes its namespace along", "<sheetFormatPr a:x=\"1\"/>" + filter,
         [](Worksheet& ws) { ws.set_auto_filter("A1:C3"); },
         r + " xmlns:mc=\"" + mc + "\" mc:Ignorable=\"a\" xmlns:a=\"urn:a\">"},
        {"a rule's kept attribute and child", rule, {},
         " xmlns:mc=\"" + mc + "\" mc:Ignorable=\"c d\" xmlns:c=\"urn:c\" xmlns:d=\"urn:d\">"},
        {"nothing used: the root as without a list", filter, [](Worksheet& ws) { ws.set_auto_filter(std::nullopt); }, r + ">"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::Package p;
        p.sheet("S", "");
        p.set("xl/worksheets/sheet1.xml", root_of_source + "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>" +
                                              c.body + "</worksheet>");
        const std::string sheet = saved_sheet(p, c.edit);
        const size_t at = sheet.find("<worksheet");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(sheet.substr(at, sheet.find('>', at) + 1 - at), saved_root + c.root_rest);
    }
}
