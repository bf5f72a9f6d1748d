// Reading a legacy drawing loosely: notes with their cells and anchors, and what stands beside them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/legacy_drawing.hpp"

using namespace velmo;
using namespace velmo::reader;

namespace {

// As a desktop application writes it: no declaration, single-quoted styles, white space around
// the anchor's numbers, a button beside the notes, and a text box with an open <br>.
const std::string kHead =
    "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\"\n xmlns:o=\"urn:schemas-microsoft-com:office:office\"\n"
    " xmlns:x=\"urn:schemas-microsoft-com:office:excel\">";
const std::string kLayout = "<o:shapelayout v:ext=\"edit\">\n  <o:idmap v:ext=\"edit\" data=\"3,4\"/>\n </o:shapelayout>";
const std::string kNoteType = "<v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\"><v:stroke joinstyle=\"miter\"/></v:shapetype>";
const std::string kButtonType = "<v:shapetype id=\"_x0000_t201\" o:spt=\"201\"><o:lock v:ext=\"edit\" shapetype=\"t\"/></v:shapetype>";

std::string note(int id, const std::string& row, const std::string& col, const std::string& anchor,
                 const std::string& extra = "") {
    return "<v:shape id=\"_x0000_s" + std::to_string(id) + "\" type=\"#_x0000_t202\" style='position:absolute;\n"
           "  margin-left:107.25pt;width:96pt;height:55.5pt;z-index:1;visibility:visible' fillcolor=\"#ccffcc\">"
           "<v:textbox style='mso-direction-alt:auto'><div style='text-align:left'>line<br>next</div></v:textbox>"
           "<x:ClientData ObjectType=\"Note\"><x:MoveWithCells/><x:Anchor>\n    " + anchor + "</x:Anchor>"
           "<x:Row>" + row + "</x:Row><x:Column>" + col + "</x:Column>" + extra + "</x:ClientData></v:shape>";
}

const std::string kButton =
    "<v:shape id=\"_x0000_s3073\" o:spid=\"_x0000_s3073\" type=\"#_x0000_t201\" style='position:absolute' o:button=\"t\">"
    "<v:textbox><div style='text-align:center'><font face=\"Calibri\">Press<br></font></div></v:textbox>"
    "<x:ClientData ObjectType=\"Button\"><x:Anchor>2, 0, 1, 0, 3, 0, 2, 0</x:Anchor><x:FmlaMacro>[0]!Go</x:FmlaMacro>"
    "</x:ClientData></v:shape>";

std::string span(std::string_view xml, const TextSpan& s) { return std::string(xml.substr(s.begin, s.end - s.begin)); }

}  // namespace

TEST(LegacyDrawingReader, NotesShapesAndTypes) {
    const std::string n1 = note(3074, "1", "1", "2, 15, 0, 10, 4, 15, 4, 4");
    const std::string n2 = note(3075, " 9 ", "\n2\n", "2,15,0,10,4,15,4", "<x:Visible/>");
    const std::string doc = kHead + "\n " + kLayout + kNoteType + kButtonType + kButton + n1 + "\n" + n2 + "</xml>trailing";
    const auto d = parse_legacy_drawing(doc);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->head, kHead);
    EXPECT_EQ(d->root_name, "xml");
    EXPECT_EQ(d->shape_layout, kLayout);
    EXPECT_EQ(d->first_id_block, 3u);
    ASSERT_EQ(d->shape_types.size(), 2u);
    EXPECT_EQ(d->shape_types[0].id, "_x0000_t202");
    EXPECT_EQ(d->shape_types[1].xml, kButtonType);

    ASSERT_EQ(d->shapes.size(), 1u);
    EXPECT_EQ(d->shapes[0].xml, kButton);
    EXPECT_EQ(d->shapes[0].types, (std::vector<std::string_view>{"#_x0000_t201"}));
    EXPECT_EQ(d->shapes[0].ids, (std::vector<std::string_view>{"_x0000_s3073", "_x0000_s3073"}));

    ASSERT_EQ(d->notes.size(), 2u);
    const DrawingNote& a = d->notes[0];
    EXPECT_EQ(a.xml, n1);
    EXPECT_EQ(a.row, 1u);
    EXPECT_EQ(a.col, 1u);
    EXPECT_EQ(a.type, "#_x0000_t202");
    ASSERT_TRUE(a.id && a.anchor_text && a.anchor);
    EXPECT_EQ(span(a.xml, *a.id), "_x0000_s3074");
    EXPECT_EQ(span(a.xml, *a.anchor_text), "\n    2, 15, 0, 10, 4, 15, 4, 4");
    EXPECT_EQ(*a.anchor, (NoteAnchor{2, 15, 0, 10, 4, 15, 4, 4}));
    EXPECT_EQ(span(a.xml, a.row_text), "1");
    EXPECT_EQ(span(a.xml, a.col_text), "1");
    // White space around the cell numbers is allowed; an anchor of seven numbers is kept as text.
    const DrawingNote& b = d->notes[1];
    EXPECT_EQ(b.row, 9u);
    EXPECT_EQ(b.col, 2u);
    EXPECT_EQ(span(b.xml, b.row_text), " 9 ");
    EXPECT_TRUE(b.anchor_text);
    EXPECT_FALSE(b.anchor);
}

TEST(LegacyDrawingReader, AnchorTexts) {
    const struct {
        const char* text;
        std::optional<NoteAnchor> anchor;
    } cases[] = {
        {"1, 15, 0, 2, 3, 15, 4, 4", NoteAnchor{1, 15, 0, 2, 3, 15, 4, 4}},
        {"\n 1,15,0,2,3,15,4,4 \n", NoteAnchor{1, 15, 0, 2, 3, 15, 4, 4}},
        {"1, 15, 0, 2, 3, 15, 4", std::nullopt},
        {"1, 15, 0, 2, 3, 15, 4, 4, 5", std::nullopt},
        {"1, 15, -1, 2, 3, 15, 4, 4", std::nullopt},
        {"1, 15, 0, 2, 3, 15, 4, 4294967296", std::nullopt},
        {"", std::nullopt},
        {",,,,,,,", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_note_anchor(c.text), c.anchor) << c.text;
}

TEST(LegacyDrawingReader, WhatCannotBeReadIsLeftOutAndNothingFails) {
    const std::string good = note(1025, "0", "0", "1, 15, 0, 2, 3, 15, 4, 4");
    const struct {
        const char* name;
        std::string doc;
        bool readable;
        size_t notes, shapes;
    } cases[] = {
        {"empty", "", false, 0, 0},
        {"text only", "no markup at all", false, 0, 0},
        {"self-closing root", "<xml/>", false, 0, 0},
        {"end tag first", "</xml>" + good, false, 0, 0},
        {"a declaration and a comment before the root", "<?xml version=\"1.0\"?><!-- x --><xml>" + good + "</xml>", true, 1, 0},
        {"cut off inside a note", kHead + good + good.substr(0, 200), true, 1, 0},
        {"cut off inside a tag", kHead + good + "<v:shape id='x", true, 1, 0},
        {"root never closed", kHead + good, true, 1, 0},
        {"stray end tags", kHead + "</v:shape></div>" + good + "</x:Row></xml>", true, 1, 0},
        {"an end tag closing nothing open inside", kHead + "<v:group><p><b></i></b></p></v:group>" + good + "</xml>", true, 1, 1},
        {"a note without its row", kHead + note(1, "", "0", "") + good + "</xml>", true, 1, 0},
        {"a row that is not a number", kHead + note(1, "x", "0", "") + "</xml>", true, 0, 0},
        {"a note left open swallows what follows", kHead + "<v:shape><x:ClientData ObjectType=\"Note\">" + good + "</xml>", true, 0, 0},
        {"an open br at the top", kHead + "<br>" + good + "</xml>", true, 1, 1},
        {"a group of controls", kHead + "<v:group id=\"g\"><v:shape id=\"_x0000_s9\" type=\"#t\"/></v:group>" + good + "</xml>",
         true, 1, 1},
        {"an unterminated comment ends the walk", kHead + good + "<!-- " + good, true, 1, 0},
        {"a lone < is text", kHead + "a < b <" + good + "</xml>", true, 1, 0},
        {"a quoted > inside a tag", kHead + "<v:rect alt=\"a>b\"/>" + good + "</xml>", true, 1, 1},
    };
    for (const auto& c : cases) {
        const auto d = parse_legacy_drawing(c.doc);
        ASSERT_EQ(d.has_value(), c.readable) << c.name;
        if (!d) continue;
        EXPECT_EQ(d->notes.size(), c.notes) << c.name;
        EXPECT_EQ(d->shapes.size(), c.shapes) << c.name;
        for (const DrawingNote& n : d->notes) {
            EXPECT_EQ(n.xml, good) << c.name;
            EXPECT_LE(n.row_text.end, n.xml.size());
        }
    }
}
