// The legacy drawing a save writes: loaded notes keep their own shapes, other shapes stay, and the
// drawing's place in the package stays linked.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "reader/reader.hpp"
#include "support/package_builder.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_outputs.hpp"
#include "writer/cell_order.hpp"
#include "writer/legacy_drawing_part.hpp"
#include "writer/package.hpp"
#include "writer/writer.hpp"
#include "zip/archive_reader.hpp"

using namespace velmo;
using test::rel_type;
using test::relationship;
using test::relationships;

namespace {

const std::string kRoot = "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
                          "xmlns:x=\"urn:schemas-microsoft-com:office:excel\">";
const std::string kLayout = "<o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"2\"/></o:shapelayout>";
const std::string kNoteType = "<v:shapetype id=\"_x0000_t202\" o:spt=\"202\"><v:path o:connecttype=\"rect\"/></v:shapetype>";
const std::string kButtonType = "<v:shapetype id=\"_x0000_t201\" o:spt=\"201\"/>";
const std::string kUnusedType = "<v:shapetype id=\"_x0000_t75\" o:spt=\"75\"/>";
const std::string kButton =
    "<v:shape id=\"_x0000_s2049\" type=\"#_x0000_t201\" o:button=\"t\"><v:imagedata o:relid=\"rId1\"/>"
    "<x:ClientData ObjectType=\"Button\"><x:Anchor>5, 0, 1, 0, 6, 0, 2, 0</x:Anchor></x:ClientData></v:shape>";

// A note as a desktop application lays it out, on the zero-based row and column.
std::string note(int id, int row, int col, const std::string& anchor, const std::string& look = "visibility:visible") {
    return "<v:shape id=\"_x0000_s" + std::to_string(id) + "\" type=\"#_x0000_t202\" style='width:144pt;" + look +
           "' fillcolor=\"#ccffcc\"><v:textbox><div>a<br>b</div></v:textbox><x:ClientData ObjectType=\"Note\">"
           "<x:Anchor>\n " + anchor + "</x:Anchor><x:Row>" + std::to_string(row) + "</x:Row><x:Column>" +
           std::to_string(col) + "</x:Column><x:Visible/></x:ClientData></v:shape>";
}

std::string drawing(const std::string& shapes) {
    return kRoot + "\n " + kLayout + kNoteType + kButtonType + kUnusedType + shapes + "</xml>";
}

// B2's and D5's notes beside a button.
const std::string kB2 = note(2050, 1, 1, "2, 15, 0, 10, 4, 15, 4, 4");
const std::string kD5 = note(2051, 4, 3, "4, 15, 3, 10, 6, 15, 7, 4", "visibility:hidden;height:99pt");
const std::string kDrawing = drawing(kButton + kB2 + kD5);

std::string comments_part(const std::string& refs) {
    std::string list;
    for (size_t at = 0; at < refs.size();) {
        const size_t end = std::min(refs.find(',', at), refs.size());
        list += "<comment ref=\"" + refs.substr(at, end - at) + "\" authorId=\"0\"><text><t>x</t></text></comment>";
        at = end + 1;
    }
    return "<comments xmlns=\"" + std::string(test::kMainNs) + "\"><authors><author>A</author></authors><commentList>" +
           list + "</commentList></comments>";
}

// A one-sheet package whose comments on `refs` are shown by `vml` at `vml_part`.
test::Package package(const std::string& vml, const std::string& refs = "B2,D5",
                      const std::string& vml_part = "xl/drawings/vmlDrawing1.vml") {
    test::Package p;
    p.sheet("S", "<sheetData><row r=\"2\"><c r=\"B2\"><v>1</v></c></row></sheetData><legacyDrawing r:id=\"rId2\"/>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          relationships(relationship("rId1", rel_type("comments"), "../comments1.xml") +
                        relationship("rId2", rel_type("vmlDrawing"), "/" + vml_part)));
    p.set("xl/comments1.xml", comments_part(refs));
    p.set(vml_part, vml);
    const size_t slash = vml_part.rfind('/');
    p.set(vml_part.substr(0, slash) + "/_rels" + vml_part.substr(slash) + ".rels",
          relationships(relationship("rId1", rel_type("image"), "../media/image1.png")));
    p.set("xl/media/image1.png", "png");
    p.set("[Content_Types].xml",
          "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
          "<Default Extension=\"rels\" ContentType=\"r\"/><Default Extension=\"xml\" ContentType=\"x\"/>"
          "<Default Extension=\"vml\" ContentType=\"v\"/><Default Extension=\"png\" ContentType=\"p\"/></Types>");
    return p;
}

struct Saved {
    zip::ArchiveReader archive;
    std::string part(std::string_view name) const {
        const zip::Entry* e = archive.find(name);
        return e ? *archive.read(*e) : "<missing>";
    }
};

// Loads `p` from a file, lets `edit` change the model (and the file), and saves.
Saved round_trip(const test::Package& p, const std::function<void(Workbook&, const std::string&)>& edit = {}) {
    test::TempDir dir("velmo_drawing");
    const std::string path = dir.file("src.xlsx");
    test::write_file(path, p.build());
    auto wb = reader::open_workbook(path);
    EXPECT_TRUE(wb) << wb.error().display();
    if (edit) edit(*wb, path);
    test::StringOutput out;
    auto saved = writer::write_package(*wb, out, wb->source_path);
    EXPECT_TRUE(saved) << saved.error().display();
    return Saved{std::move(*zip::ArchiveReader::open_memory(out.bytes))};
}

std::unique_ptr<writer::KeptDrawing> kept_from(const std::string& text) {
    auto k = std::make_unique<writer::KeptDrawing>();
    k->text = text;
    k->drawing = reader::parse_legacy_drawing(k->text);
    EXPECT_TRUE(k->drawing);
    return k;
}

std::string vml_of(const Worksheet& ws, const writer::KeptDrawing& kept, const std::vector<CellEdit>& edits = {}) {
    auto order = writer::order_sheet_cells(ws);
    EXPECT_TRUE(order);
    return writer::write_vml_drawing(*order, &kept, edits);
}

void loaded_comment(Worksheet& ws, uint32_t row, uint32_t col) {
    ws.set_cell_comment(coords::rc_to_a1(row, col), Comment{"x", "A", coords::CellPos{col, row}});
}

}  // namespace

TEST(LegacyDrawingPart, LoadedNotesKeepTheirShapesBesideTheOtherShapes) {
    const auto kept = kept_from(kDrawing);
    Worksheet ws("S");
    loaded_comment(ws, 2, 2);
    loaded_comment(ws, 5, 4);
    ws.set_cell_comment("A1", Comment{"new", "B"});  // the standard box, with an id no shape holds
    const std::string vml = vml_of(ws, *kept);
    const std::string standard_a1 =
        "<v:shape id=\"_x0000_s2048\" type=\"#_x0000_t202\" style=\"position:absolute;margin-left:80pt;margin-top:5pt;"
        "width:104pt;height:64pt;z-index:1;visibility:hidden\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
        "<v:fill color2=\"#ffffe1\"/><v:shadow on=\"t\" color=\"black\" obscured=\"t\"/><v:path o:connecttype=\"none\"/>"
        "<v:textbox style=\"mso-direction-alt:auto\"><div style=\"text-align:left\"></div></v:textbox>"
        "<x:ClientData ObjectType=\"Note\"><x:MoveWithCells/><x:SizeWithCells/><x:Anchor>1, 15, 0, 2, 3, 15, 4, 4</x:Anchor>"
        "<x:AutoFill>False</x:AutoFill><x:Row>0</x:Row><x:Column>0</x:Column></x:ClientData></v:shape>";
    // The type nothing uses is left out.
    EXPECT_EQ(vml, kRoot + "\n" + kLayout + "\n" + kNoteType + "\n" + kButtonType + "\n" + kButton + "\n" + standard_a1 +
                       kB2 + kD5 + "\n</xml>");
}

TEST(LegacyDrawingPart, AMovedNoteTakesItsCellAndAnchorAlong) {
    const auto kept = kept_from(kDrawing);
    Worksheet ws("S");
    ws.legacy_drawing = SourceDrawing{.part = "xl/drawings/vmlDrawing1.vml", .notes = 2};
    loaded_comment(ws, 2, 2);
    loaded_comment(ws, 5, 4);
    ASSERT_TRUE(ws.insert_rows(4, 2));  // between the two: only D5's box lies beyond
    ASSERT_TRUE(ws.insert_cols(1, 1));  // before both
    const std::string vml = vml_of(ws, *kept, ws.legacy_drawing->edits);
    const auto moved = [](std::string shape, const std::string& from, const std::string& to) {
        for (size_t at = 0; (at = shape.find(from, at)) != std::string::npos;) shape.replace(at, from.size(), to);
        return shape;
    };
    // Only what follows the cell is rewritten; a moved anchor loses the source's white space.
    const std::string b2 = moved(moved(kB2, "\n 2, 15, 0, 10, 4, 15, 4, 4", "3, 15, 0, 10, 5, 15, 4, 4"),
                                 "<x:Column>1<", "<x:Column>2<");
    const std::string d5 = moved(moved(moved(kD5, "\n 4, 15, 3, 10, 6, 15, 7, 4", "5, 15, 5, 10, 7, 15, 9, 4"),
                                       "<x:Row>4<", "<x:Row>6<"),
                                 "<x:Column>3<", "<x:Column>4<");
    EXPECT_NE(vml.find(b2 + d5), std::string::npos) << vml;
}

TEST(LegacyDrawingPart, IdsStayUniqueAndTheStandardPartsAreDeclared) {
    // A root without the excel prefix, no layout, a note whose id the button holds too, and no
    // shape type for notes.
    const std::string root = "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\">";
    const auto kept = kept_from(root + kButtonType + kButton + note(2049, 1, 1, "1, 0, 1, 0, 2, 0, 2, 0") + "</xml>");
    Worksheet ws("S");
    loaded_comment(ws, 2, 2);
    ws.set_cell_comment("C3", Comment{"new", "B"});
    const std::string vml = vml_of(ws, *kept);
    EXPECT_TRUE(vml.starts_with("<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\""
                                " xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n<o:shapelayout"))
        << vml;
    EXPECT_NE(vml.find("<v:shapetype id=\"_x0000_t202\""), std::string::npos);
    EXPECT_NE(vml.find("<v:shape id=\"_x0000_s2049\" type=\"#_x0000_t201\""), std::string::npos);  // the button's, linked by number
    EXPECT_NE(vml.find("<v:shape id=\"_x0000_s1024\" type=\"#_x0000_t202\" style='width:144pt"), std::string::npos) << vml;
    EXPECT_NE(vml.find("<v:shape id=\"_x0000_s1025\" type=\"#_x0000_t202\" style=\"position:absolute"), std::string::npos);
}

TEST(LegacyDrawingPackage, AnUnchangedDrawingIsCopiedAsItIs) {
    // Named otherwise than this save names it, and in another folder, with its own relationships.
    const auto p = package(kDrawing, "B2,D5", "xl/vml/notes.vml");
    const Saved s = round_trip(p, [](Workbook& wb, const std::string&) { wb.sheets[0].set_cell("B2", Value(2.0)); });
    EXPECT_EQ(s.part("xl/drawings/vmlDrawing1.vml"), kDrawing);
    EXPECT_EQ(s.part("xl/vml/notes.vml"), "<missing>");
    EXPECT_EQ(s.part("xl/vml/_rels/notes.vml.rels"), "<missing>");
    EXPECT_NE(s.part("xl/drawings/_rels/vmlDrawing1.vml.rels").find("Target=\"/xl/media/image1.png\""), std::string::npos);
    EXPECT_NE(s.part("xl/worksheets/_rels/sheet1.xml.rels").find("../drawings/vmlDrawing1.vml"), std::string::npos);
}

TEST(LegacyDrawingPackage, TheDrawingIsKeptFromTheLoadNotReadAgainFromTheSource) {
    // Saved over its own source between two edits: the second save still starts from the drawing
    // as loaded.
    const Saved s = round_trip(package(kDrawing), [](Workbook& wb, const std::string& path) {
        ASSERT_TRUE(wb.sheets[0].insert_rows(1, 1));
        ASSERT_TRUE(writer::write_xlsx(wb, path));
        ASSERT_TRUE(wb.sheets[0].insert_rows(1, 1));
    });
    const std::string vml = s.part("xl/drawings/vmlDrawing1.vml");
    EXPECT_NE(vml.find(kButton), std::string::npos) << vml;
    EXPECT_NE(vml.find("<x:Anchor>2, 15, 2, 10, 4, 15, 6, 4</x:Anchor><x:Row>3</x:Row>"), std::string::npos) << vml;
    EXPECT_NE(vml.find("<x:Anchor>4, 15, 5, 10, 6, 15, 9, 4</x:Anchor><x:Row>6</x:Row>"), std::string::npos) << vml;
    EXPECT_NE(s.part("xl/drawings/_rels/vmlDrawing1.vml.rels").find("../media/image1.png"), std::string::npos);
}

// A picture only a deleted note showed goes with it: its relationship is not written, and the
// picture, which nothing else reaches, is not copied. While the note stays, both do.
TEST(LegacyDrawingPackage, APictureGoesWithTheLastShapeThatShowedIt) {
    std::string pictured = kB2;
    pictured.insert(pictured.find("<v:textbox>"), "<v:fill o:relid=\"rId1\" type=\"frame\"/>");
    std::string button = kButton;
    button.erase(button.find("<v:imagedata"), std::string_view("<v:imagedata o:relid=\"rId1\"/>").size());
    auto p = package(drawing(button + pictured), "B2");
    p.set("_rels/.rels", relationships(relationship("rId1", rel_type("officeDocument"), "xl/workbook.xml")));
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted);
        const Saved s = round_trip(p, [&](Workbook& wb, const std::string&) { ASSERT_TRUE(wb.sheets[0].delete_rows(deleted ? 2 : 9, 1)); });
        EXPECT_EQ(s.part("xl/drawings/vmlDrawing1.vml").find("o:relid") != std::string::npos, !deleted);
        EXPECT_EQ(s.part("xl/drawings/_rels/vmlDrawing1.vml.rels") != "<missing>", !deleted);
        EXPECT_EQ(s.part("xl/media/image1.png") != "<missing>", !deleted);
    }
}
