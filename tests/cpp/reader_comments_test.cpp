#include <gtest/gtest.h>

#include <string>

#include "reader/comments_reader.hpp"

using namespace velmo;
using namespace velmo::reader;

namespace {

std::string part(std::string_view authors, std::string_view list) {
    return "<?xml version=\"1.0\"?><comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><authors>" +
           std::string(authors) + "</authors><commentList>" + std::string(list) + "</commentList></comments>";
}

CommentMap parse(std::string_view xml) {
    auto r = parse_comments_xml(xml);
    EXPECT_TRUE(r) << r.error().display();
    return r ? std::move(*r) : CommentMap{};
}

}  // namespace

TEST(CommentsReader, TextsAndAuthors) {
    const auto m = parse(part(
        "<author>Ann</author><author/><author></author><author> Bob &amp; Co </author><author>Q_x0007_</author>",
        "<comment ref=\"A1\" authorId=\"0\"><text><t>plain</t></text></comment>"
        "<comment ref=\"b2\" authorId=\"+3\"><text><r><rPr><b/></rPr><t>Bold</t></r>"
        "<r><t xml:space=\"preserve\"> text </t></r><r><t>  trimmed  </t></r></text></comment>"
        "<comment ref=\"C3\" authorId=\"5\"><text><t>past the list</t></text></comment>"
        "<comment ref=\"D4\" authorId=\"-1\"><text><t>A &amp; B&#10;</t></text></comment>"
        "<comment ref=\"E5\"><text><t>x</t><rPh sb=\"0\" eb=\"1\"><t>reading</t></rPh>"
        "<t><![CDATA[<y>]]></t>loose</text></comment>"
        "<comment ref=\"F6\" authorId=\"4\"><text><r><t>a_x000D_</t></r><r><t>_x005F_x0041_</t></r></text></comment>"));
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m.at("A1"), (Comment{"plain", "Ann"}));
    // The key is kept as written; runs join without separators.
    EXPECT_EQ(m.at("b2").text, "Bold text trimmed");
    EXPECT_EQ(m.at("b2").author, "Bob & Co");
    EXPECT_EQ(m.at("C3"), (Comment{"past the list", ""}));
    EXPECT_EQ(m.at("D4"), (Comment{"A & B\n", "Ann"}));
    // The phonetic reading and text outside any t are not part of the text; CDATA is.
    EXPECT_EQ(m.at("E5").text, "x<y>");
    // Hex escapes are decoded in texts and authors.
    EXPECT_EQ(m.at("F6").text, "a\r_x0041_");
    EXPECT_EQ(m.at("F6").author, "Q\x07");
    EXPECT_FALSE(m.contains("B2"));
}

TEST(CommentsReader, SkippedAndReplacedComments) {
    const auto m = parse(part("<author>A</author><author>B</author>",
                              "<comment authorId=\"1\"><text><t>no ref</t></text></comment>"
                              "<comment ref=\"A1\" authorId=\"x\"><text><t>first</t></text></comment>"
                              "<comment ref=\"A2\" authorId=\"\"><text/></comment>"
                              "<comment ref=\"A1\" authorId=\"1\"><text><t>second</t></text></comment>"
                              "<comment ref=\"A3\"/>"));
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m.at("A1"), (Comment{"second", "B"}));
    EXPECT_EQ(m.at("A2"), (Comment{"", "A"}));

    // No authors at all; a comment left open at the end of the part adds nothing.
    const auto cut = parse("<comments><commentList><comment ref=\"A1\"><text><t>a</t></text></comment>"
                           "<comment ref=\"A2\"><text><t>b</t>");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut.at("A1"), (Comment{"a", ""}));
}

TEST(CommentsReader, TextsWithRunsAreKeptWholeWhenTheyCanBeWrittenBack) {
    constexpr std::string_view kRuns = "<text><r><rPr><b/><sz val=\"9\"/></rPr><t>Ann:</t></r><r><t xml:space=\"preserve\"> hi</t></r></text>";
    struct Row {
        std::string_view comment;  // inside a commentList whose root also binds "x" to the main namespace
        std::string_view text;
        std::string_view kept;  // empty: only the plain text
    } rows[] = {
        {"<comment ref=\"A1\"><text><r><rPr><b/><sz val=\"9\"/></rPr><t>Ann:</t></r><r><t xml:space=\"preserve\"> hi</t></r></text></comment>",
         "Ann: hi", kRuns},
        {"<comment ref=\"A1\"><text><t>plain</t></text></comment>", "plain", ""},
        {"<comment ref=\"A1\"><text><t>x</t><rPh sb=\"0\" eb=\"1\"><t>y</t></rPh><phoneticPr fontId=\"1\"/></text></comment>",
         "x", "<text><t>x</t><rPh sb=\"0\" eb=\"1\"><t>y</t></rPh><phoneticPr fontId=\"1\"/></text>"},
        // The main namespace under a prefix is written unprefixed; another one brings its declaration.
        {"<x:comment ref=\"A1\"><x:text><x:r><x:rPr><b/></x:rPr><x:t>a</x:t></x:r></x:text></x:comment>", "a",
         "<text><r><rPr><b/></rPr><t>a</t></r></text>"},
        {"<comment ref=\"A1\" xmlns:v=\"urn:v\"><text><r><rPr v:a=\"1\"/><t>a</t></r></text></comment>", "a",
         "<text xmlns:v=\"urn:v\"><r><rPr v:a=\"1\"/><t>a</t></r></text>"},
        // What could not be written back well-formed, or would not be the note's whole text.
        {"<comment ref=\"A1\"><text><r><q:rPr/><t>a</t></r></text></comment>", "a", ""},
        {"<comment ref=\"A1\"><text><r><rPr><rFont val=\"&#1;\"/></rPr><t>a</t></r></text></comment>", "a", ""},
        {"<comment ref=\"A1\"><text><r><t>a</t></r></text><text><r><t>b</t></r></text></comment>", "ab", ""},
        {"<comment ref=\"A1\"><t>x</t><text><r><t>a</t></r></text></comment>", "xa", ""},
        {"<comment ref=\"A1\"><text><r><t>a</t></r></text><t>x</t></comment>", "ax", ""},
        // Comments, instructions and names in two namespaces a parser takes are kept; what the
        // tokenizer lets through but a parser refuses is not, on the quick look and in the capture.
        {"<comment ref=\"A1\"><text><r xmlns:v=\"urn:v\"><!-- - --><?v x?><rPr v:a=\"1\" a=\"2\"/><t>a</t></r></text></comment>",
         "a", "<text><r xmlns:v=\"urn:v\"><!-- - --><?v x?><rPr v:a=\"1\" a=\"2\"/><t>a</t></r></text>"},
        {"<comment ref=\"A1\"><text><r><rPr><b/></rPr><t>a]]>b</t></r></text></comment>", "a]]>b", ""},
    };
    for (const Row& row : rows) {
        const std::string xml = "<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                                "xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><commentList>" +
                                std::string(row.comment) + "</commentList></comments>";
        const auto m = parse(xml);
        ASSERT_EQ(m.size(), 1u) << row.comment;
        const Comment& c = m.begin()->second;
        EXPECT_EQ(c.text, row.text) << row.comment;
        EXPECT_EQ(c.rich_text.view(), row.kept) << row.comment;
    }
    // Runs the tokenizer lets through but a parser refuses: the note keeps its plain text only.
    for (std::string_view runs : {
             "<r><rPr><rFont val=\"a\" val=\"b\"/></rPr><t>a</t></r>",
             "<r><rPr><1b/></rPr><t>a</t></r>",
             "<r><rPr><b\u00a0/></rPr><t>a</t></r>",
             "<r><rPr><rFont val=\"a\"sz=\"1\"/></rPr><t>a</t></r>",
             "<r><!-- a -- b --><t>a</t></r>",
             "<r><!-- a ---><t>a</t></r>",
             "<r xmlns:p=\"\"><t>a</t></r>",
             "<r><?XmL version=\"1.0\"?><t>a</t></r>",
             "<r><!DOCTYPE r><t>a</t></r>",
             "<r xmlns:xml=\"urn:v\"><t>a</t></r>",
             "<r xmlns:xmlns=\"urn:v\"><t>a</t></r>",
             "<r xmlns:v=\"urn:v\"><rPr v:a=\"1\" v:a=\"2\"/><t>a</t></r>",
             "<r xmlns:v=\"urn:v\" xmlns:w=\"urn:v\"><rPr v:a=\"1\" w:a=\"2\"/><t>a</t></r>",
             "<r xmlns:v=\"urn:v\"><v:1b/><t>a</t></r>",
         }) {
        const auto m = parse("<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><commentList>"
                             "<comment ref=\"A1\"><text>" + std::string(runs) + "</text></comment></commentList></comments>");
        ASSERT_EQ(m.size(), 1u) << runs;
        EXPECT_EQ(m.begin()->second.text, "a") << runs;
        EXPECT_EQ(m.begin()->second.rich_text.view(), "") << runs;
    }
}

TEST(CommentsReader, XmlErrors) {
    for (const char* bad : {"<comments><author>x</comments>", "<comments><comment ref=\"A1\"><t>&nbsp;</t></comment></comments>",
                            "<comments><comment ref=\"A1\"><t>\xff</t></comment></comments>"}) {
        auto r = parse_comments_xml(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().kind, ErrorKind::Xml);
    }
}

// ---- through the open sequence ----

#include "support/open_package.hpp"

TEST(CommentsReader, OpenAttachesCommentsToCellsAsKeyed) {
    test::Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
                 "<hyperlinks><hyperlink ref=\"A1\" location=\"S!B2\"/></hyperlinks>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          test::relationships(test::relationship("rId1", test::rel_type("comments"), "../comments1.xml")));
    p.set("xl/comments1.xml", part("<author>Ann</author>",
                                   "<comment ref=\"A1\" authorId=\"0\"><text><t>on A1</t></text></comment>"
                                   "<comment ref=\"a1\" authorId=\"0\"><text><t>on a1</t></text></comment>"));
    auto wb = test::open_package(p);
    ASSERT_TRUE(wb) << wb.error().display();
    const Worksheet& ws = wb->sheets[0];
    ASSERT_EQ(ws.cells().size(), 2u);
    const Cell* upper = ws.find_cell("A1");
    ASSERT_TRUE(upper && upper->comment());
    // Each remembers the cell it was read on, where a save finds its box.
    EXPECT_EQ(*upper->comment(), (Comment{"on A1", "Ann", coords::CellPos{1, 1}}));
    EXPECT_TRUE(upper->hyperlink());  // a cell can carry both
    EXPECT_EQ(upper->value, Value(1.0));
    // A comment on a cell the part does not hold creates it, empty, with the workbook's styles.
    const Cell* lower = ws.find_cell("a1");
    ASSERT_TRUE(lower && lower->comment());
    EXPECT_EQ(lower->comment()->text, "on a1");
    EXPECT_EQ(lower->value, Value{});
    EXPECT_EQ(lower->style_index, 0u);
    EXPECT_EQ(lower->stylesheet, wb->stylesheet);

    // A comments relationship whose part is absent is skipped; a broken part fails the load.
    p.remove("xl/comments1.xml");
    EXPECT_TRUE(test::open_package(p));
    p.set("xl/comments1.xml", "<comments><commentList></comments>");
    auto broken = test::open_package(p);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().kind, ErrorKind::Xml);
}

#include "writer/writer.hpp"

TEST(CommentsReader, OpenAttachesRangeCommentsToTheirTopLeftCell) {
    test::Package p;
    p.sheet("S", "<sheetData><row r=\"2\"><c r=\"B2\"><v>1</v></c></row></sheetData>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          test::relationships(test::relationship("rId1", test::rel_type("comments"), "../comments1.xml")));
    p.set("xl/comments1.xml", part("<author>Ann</author>",
                                   "<comment ref=\"B2:C3\"><text><t>on a range</t></text></comment>"
                                   "<comment ref=\"f6:e5\"><text><t>backwards</t></text></comment>"
                                   "<comment ref=\"G7:H8\"><text><t>beaten</t></text></comment>"
                                   "<comment ref=\"G7\"><text><t>on G7 itself</t></text></comment>"
                                   "<comment ref=\"\"><text><t>empty ref</t></text></comment>"
                                   "<comment ref=\"A1:\"><text><t>bad range</t></text></comment>"
                                   "<comment ref=\"Total\"><text><t>no cell</t></text></comment>"));
    p.set("[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                                 "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
    // Kept on disk: a save copies the source's other entries.
    const auto dir = std::filesystem::temp_directory_path();
    const std::string source = (dir / ("velmo-range-comment-" + std::to_string(::getpid()) + ".xlsx")).string();
    const std::string saved_path = source + ".saved.xlsx";
    test::write_file(source, p.build());
    auto wb = reader::open_workbook(source);
    ASSERT_TRUE(wb) << wb.error().display();
    const Worksheet& ws = wb->sheets[0];
    // Only cell keys: neither a range text nor a text that names no cell becomes a key.
    ASSERT_EQ(ws.cells().size(), 3u);
    const Cell* b2 = ws.find_cell("B2");
    ASSERT_TRUE(b2 && b2->comment());
    EXPECT_EQ(*b2->comment(), (Comment{"on a range", "Ann", coords::CellPos{2, 2}}));
    EXPECT_EQ(b2->value, Value(1.0));
    const Cell* e5 = ws.find_cell("E5");
    ASSERT_TRUE(e5 && e5->comment());
    EXPECT_EQ(e5->comment()->text, "backwards");
    // A comment on the cell itself wins over one that reaches it through a range, whatever their order.
    const Cell* g7 = ws.find_cell("G7");
    ASSERT_TRUE(g7 && g7->comment());
    EXPECT_EQ(g7->comment()->text, "on G7 itself");

    // Such a workbook can be saved, and its comments come back.
    auto saved_ok = writer::write_xlsx(*wb, saved_path);
    auto back = reader::open_workbook(saved_path);
    std::filesystem::remove(source);
    std::filesystem::remove(saved_path);
    ASSERT_TRUE(saved_ok) << saved_ok.error().display();
    ASSERT_TRUE(back) << back.error().display();
    const Cell* saved = back->sheets[0].find_cell("B2");
    ASSERT_TRUE(saved && saved->comment());
    EXPECT_EQ(saved->comment()->text, "on a range");
}
