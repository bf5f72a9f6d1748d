#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/workbook.hpp"
#include "reader/comments_reader.hpp"
#include "support/xml_well_formed.hpp"
#include "writer/cell_order.hpp"
#include "writer/comments_part.hpp"
#include "writer/legacy_drawing_part.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";
const std::string kOpen = kDecl + "<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";

std::string comments_of(const Worksheet& ws) {
    auto order = order_sheet_cells(ws);
    EXPECT_TRUE(order);
    auto part = write_comments_xml(ws, *order);
    EXPECT_TRUE(part) << part.error().display();
    EXPECT_TRUE(velmo::test::parses_as_xml(*part));
    return *part;
}

std::string drawing_of(const Worksheet& ws) {
    auto order = order_sheet_cells(ws);
    EXPECT_TRUE(order);
    return write_vml_drawing(*order);
}

std::string shape(int number, int row, int col) {
    return "<v:shape id=\"_x0000_s" + std::to_string(number) +
           "\" type=\"#_x0000_t202\" style=\"position:absolute;margin-left:80pt;margin-top:5pt;width:104pt;"
           "height:64pt;z-index:1;visibility:hidden\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
           "<v:fill color2=\"#ffffe1\"/><v:shadow on=\"t\" color=\"black\" obscured=\"t\"/>"
           "<v:path o:connecttype=\"none\"/><v:textbox style=\"mso-direction-alt:auto\">"
           "<div style=\"text-align:left\"></div></v:textbox><x:ClientData ObjectType=\"Note\">"
           "<x:MoveWithCells/><x:SizeWithCells/><x:Anchor>1, 15, 0, 2, 3, 15, 4, 4</x:Anchor>"
           "<x:AutoFill>False</x:AutoFill><x:Row>" +
           std::to_string(row) + "</x:Row><x:Column>" + std::to_string(col) + "</x:Column></x:ClientData></v:shape>";
}

std::string drawing(const std::string& shapes) {
    return kDecl +
           "\n<xml xmlns:v=\"urn:schemas-microsoft-com:vml\"\n"
           "     xmlns:o=\"urn:schemas-microsoft-com:office:office\"\n"
           "     xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n"
           "  <o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout>\n"
           "  <v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" "
           "path=\"m,l,21600r21600,l21600,xe\">\n"
           "    <v:stroke joinstyle=\"miter\"/>\n"
           "    <v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/>\n"
           "  </v:shapetype>\n"
           "  " +
           shapes + "\n</xml>";
}

}  // namespace

TEST(CommentsPart, AuthorsAndCommentsInCellOrder) {
    Worksheet ws("S");
    ws.set_cell_comment("B3", Comment{"second", "P"});
    ws.set_cell_comment("A1", Comment{"first", "Q"});
    EXPECT_TRUE(has_comments(ws));
    EXPECT_EQ(comments_of(ws), kOpen +
                                   "<authors><author>Q</author><author>P</author></authors><commentList>"
                                   "<comment ref=\"A1\" authorId=\"0\"><text><t>first</t></text></comment>"
                                   "<comment ref=\"B3\" authorId=\"1\"><text><t>second</t></text></comment>"
                                   "</commentList></comments>");
    const std::string vml = drawing_of(ws);
    EXPECT_EQ(vml, drawing(shape(1024, 0, 0) + shape(1025, 2, 1)));
    EXPECT_TRUE(velmo::test::parses_as_xml(vml));
}

TEST(CommentsPart, RowsCompareAsNumbersAndAuthorsAreListedOnce) {
    Worksheet ws("S");
    ws.set_cell_comment("A10", Comment{"x", "Ann"});
    ws.set_cell_comment("A2", Comment{"y", "Ann"});
    ws.set_cell_comment("C2", Comment{"z", ""});
    EXPECT_EQ(comments_of(ws), kOpen +
                                   "<authors><author>Ann</author><author></author></authors><commentList>"
                                   "<comment ref=\"A2\" authorId=\"0\"><text><t>y</t></text></comment>"
                                   "<comment ref=\"C2\" authorId=\"1\"><text><t>z</t></text></comment>"
                                   "<comment ref=\"A10\" authorId=\"0\"><text><t>x</t></text></comment>"
                                   "</commentList></comments>");
    EXPECT_EQ(drawing_of(ws), drawing(shape(1024, 1, 0) + shape(1025, 1, 2) + shape(1026, 9, 0)));
}

TEST(CommentsPart, KeptRunsGoBackAsReadAndBindWhatTheyMayUse) {
    Worksheet ws("S");
    const std::string runs = "<text><r><rPr><b/></rPr><t>A:</t></r><r><t>b</t></r></text>";
    ws.set_cell_comment("A1", Comment{"A:b", "Ann", {}, KeptBytes::owning(runs)});
    ws.set_cell_comment("A2", Comment{"plain", "Ann"});
    const std::string part = comments_of(ws);
    EXPECT_TRUE(part.starts_with(kOpen.substr(0, kOpen.size() - 1) + " xmlns:r=\"" + std::string("http://schemas.openxmlformats.org/officeDocument/2006/relationships") + "\">"))
        << part;
    EXPECT_NE(part.find("<comment ref=\"A1\" authorId=\"0\">" + runs + "</comment>"
                        "<comment ref=\"A2\" authorId=\"0\"><text><t>plain</t></text></comment>"),
              std::string::npos)
        << part;
    EXPECT_TRUE(velmo::test::parses_as_xml(part));
}

TEST(CommentsPart, TextIsEscapedAndLineBreaksKept) {
    Worksheet ws("S");
    ws.set_cell_comment("A1", Comment{"Tom & <Jerry>\nline 'two'\r\n", "O'Neil"});
    EXPECT_EQ(comments_of(ws), kOpen +
                                   "<authors><author>O&apos;Neil</author></authors><commentList>"
                                   "<comment ref=\"A1\" authorId=\"0\"><text>"
                                   "<t xml:space=\"preserve\">Tom &amp; &lt;Jerry&gt;\nline &apos;two&apos;&#13;\n</t>"
                                   "</text></comment></commentList></comments>");
}

TEST(CommentsPart, WhiteSpaceAtEitherEndSurvivesAReader) {
    Worksheet ws("S");
    const std::vector<std::string> texts{" lead", "trail\t", "\n", "in side", "", "\r\n both \r\n"};
    for (size_t i = 0; i < texts.size(); ++i) ws.set_cell_comment("A" + std::to_string(i + 1), Comment{texts[i], "a"});
    const std::string part = comments_of(ws);
    EXPECT_NE(part.find("<comment ref=\"A4\" authorId=\"0\"><text><t>in side</t>"), std::string::npos) << part;
    EXPECT_NE(part.find("<comment ref=\"A5\" authorId=\"0\"><text><t></t>"), std::string::npos) << part;
    auto back = reader::parse_comments_xml(part);
    ASSERT_TRUE(back) << back.error().display();
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto it = back->find("A" + std::to_string(i + 1));
        ASSERT_NE(it, back->end());
        EXPECT_EQ(it->second.text, texts[i]) << i;
    }
}

TEST(CommentsPart, KeysAreWrittenAsTheSheetPartWritesThem) {
    // The worksheet part writes "b2" as B2; the comment must name the same cell.
    Worksheet ws("S");
    ws.ensure_cell_mut("b2").extras_mut().comment = Comment{"lower", "a"};
    ws.set_cell_comment("A2", Comment{"upper", "a"});
    const std::string part = comments_of(ws);
    EXPECT_NE(part.find("<comment ref=\"A2\" authorId=\"0\"><text><t>upper</t></text></comment>"
                        "<comment ref=\"B2\" authorId=\"0\"><text><t>lower</t></text></comment>"),
              std::string::npos)
        << part;
}

TEST(CommentsPart, EveryDrawingStartsAtShape1024) {
    Workbook wb = Workbook::make_new();
    wb.sheets.emplace_back("Two");
    wb.sheets[0].set_cell_comment("C3", Comment{"a", "x"});
    wb.sheets[1].set_cell_comment("D4", Comment{"b", "x"});
    EXPECT_EQ(drawing_of(wb.sheets[1]), drawing(shape(1024, 3, 3)));
    EXPECT_EQ(comments_part_name(1), "xl/comments2.xml");
    EXPECT_EQ(vml_drawing_part_name(1), "xl/drawings/vmlDrawing2.vml");
}

TEST(CommentsPart, SheetsWithoutCommentsAndCellsWithoutOthers) {
    Worksheet ws("S");
    ws.set_cell("A1", Value(1.0));
    EXPECT_FALSE(has_comments(ws));
    auto order = order_sheet_cells(ws);
    ASSERT_TRUE(order);
    EXPECT_TRUE(sorted_comments(*order).empty());
    // A commented cell with no value still carries its comment.
    ws.set_cell_comment("Z9", Comment{"only a note", "n"});
    EXPECT_TRUE(has_comments(ws));
    order = order_sheet_cells(ws);
    ASSERT_TRUE(order);
    const auto sorted = sorted_comments(*order);
    ASSERT_EQ(sorted.size(), 1u);
    EXPECT_EQ(sorted[0].ref, "Z9");
    EXPECT_EQ(sorted[0].row, 9u);
    EXPECT_EQ(sorted[0].col, 26u);
}

TEST(CommentsPart, HexEscapesAndTextsThatAreNotUtf8) {
    Worksheet ws("Data");
    ws.set_cell_comment("B2", Comment{"bell\x07 _x0041_", "a\x01"});
    auto part = write_comments_xml(ws, *order_sheet_cells(ws));
    ASSERT_TRUE(part) << part.error().message;
    EXPECT_NE(part->find("<author>a_x0001_</author>"), std::string::npos) << *part;
    EXPECT_NE(part->find("<t>bell_x0007_ _x005F_x0041_</t>"), std::string::npos) << *part;

    ws.set_cell_comment("B2", Comment{"fine", "bad\xFF"});
    part = write_comments_xml(ws, *order_sheet_cells(ws));
    ASSERT_FALSE(part);
    EXPECT_EQ(part.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(part.error().message.rfind("sheet \"Data\" comment at B2: text is not valid UTF-8", 0), 0u)
        << part.error().message;
}
