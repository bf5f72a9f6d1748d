#include <gtest/gtest.h>

#include <string>

#include "reader/defined_names_reader.hpp"

using namespace velmo;
using namespace velmo::reader;

namespace {

constexpr const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

std::string book(std::string_view names) {
    return std::string("<?xml version=\"1.0\"?><workbook xmlns=\"") + kMain +
           "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<sheets/><definedNames>" +
           std::string(names) + "</definedNames></workbook>";
}

WorkbookDefinedNames parse(std::string_view names, std::uint64_t sheets = 3) {
    auto r = parse_workbook_defined_names(book(names), sheets);
    EXPECT_TRUE(r) << r.error().display();
    return r ? std::move(*r) : WorkbookDefinedNames{};
}

VelmoError parse_error(std::string_view doc, std::uint64_t sheets = 3) {
    auto r = parse_workbook_defined_names(doc, sheets);
    EXPECT_FALSE(r);
    return r ? VelmoError::io("parsed") : r.error();
}

bool nothing(const WorkbookDefinedNames& r) {
    return r.print.areas.empty() && r.print.titles.empty() && r.sheet_names.empty() && r.workbook_names.empty() &&
           r.raw.empty();
}

}  // namespace

TEST(DefinedNamesReader, SortsEachElementIntoOneOutcome) {
    const auto r = parse(
        "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">Sheet1!$A$1:$D$20</definedName>"
        "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">Sheet2!$1:$2,Sheet2!$A:$B</definedName>"
        "<definedName name=\"Local\" localSheetId=\"2\" comment=\"c\" hidden=\"1\">Sheet3!$A$1</definedName>"
        "<definedName name=\"Rate\">0.05</definedName>"
        "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">Sheet1!$A$1:$B$9</definedName>"
        "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"0\"/>");
    ASSERT_EQ(r.print.areas.size(), 1u);
    EXPECT_EQ(r.print.areas[0].sheet, 0u);
    EXPECT_EQ(r.print.areas[0].area, "$A$1:$D$20");
    ASSERT_EQ(r.print.titles.size(), 1u);
    EXPECT_EQ(r.print.titles[0].sheet, 1u);
    EXPECT_EQ(r.print.titles[0].rows, "$1:$2");
    EXPECT_EQ(r.print.titles[0].cols, "$A:$B");
    ASSERT_EQ(r.sheet_names.size(), 1u);
    EXPECT_EQ(r.sheet_names[0].sheet, 2u);
    EXPECT_EQ(r.sheet_names[0].name, (DefinedName{"Local", "Sheet3!$A$1", "c", true}));
    ASSERT_EQ(r.workbook_names.size(), 1u);
    EXPECT_EQ(r.workbook_names.items()[0], DefinedName::make("Rate", "0.05"));
    ASSERT_EQ(r.raw.size(), 1u);  // the self-closing print titles leaves nothing
    EXPECT_EQ(r.raw[0],
              "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">Sheet1!$A$1:$B$9</definedName>");

    EXPECT_TRUE(nothing(parse("")));
}

TEST(DefinedNamesReader, PrintAreasAndTitles) {
    auto r = parse("<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">'Q1, Q2'!A1:B2,'Q1, Q2'!D4</definedName>"
                   "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">  </definedName>"
                   "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">Sheet1!</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"0\">'T'!1:1</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">Sheet1!$A$1:$B$2</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"2\">S!1:C,S!$3,S!c:$d</definedName>");
    ASSERT_EQ(r.print.areas.size(), 1u);
    EXPECT_EQ(r.print.areas[0].area, "$A$1:$B$2,$D$4");
    ASSERT_EQ(r.print.titles.size(), 2u);
    EXPECT_EQ(r.print.titles[0].rows, "$1:$1");
    EXPECT_FALSE(r.print.titles[0].cols);
    EXPECT_EQ(r.print.titles[1].sheet, 2u);
    EXPECT_FALSE(r.print.titles[1].rows);
    EXPECT_EQ(r.print.titles[1].cols, "$c:$d");
    EXPECT_TRUE(r.raw.empty());

    // Reserved names that are not print settings as written, or lack a usable sheet, stay raw.
    r = parse("<definedName name=\"_xlnm.Print_Area\">A1</definedName>"
              "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"abc\">A1</definedName>"
              "<definedName name=\"_xlnm.print_area\" localSheetId=\"0\">A1</definedName>");
    EXPECT_EQ(r.raw.size(), 3u);
    EXPECT_TRUE(r.print.areas.empty());
    r = parse("<definedName name=\"_XLNM.Print_Area\" localSheetId=\"0\">A1</definedName>", 1);
    ASSERT_EQ(r.sheet_names.size(), 1u);
    EXPECT_EQ(r.sheet_names[0].name.name, "_XLNM.Print_Area");
}

TEST(DefinedNamesReader, SheetIndexTexts) {
    EXPECT_EQ(parse_sheet_index("+1"), 1u);
    EXPECT_EQ(parse_sheet_index("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "+", "-0", " 1", "1 ", "1.0", "0x1", "18446744073709551616"})
        EXPECT_FALSE(parse_sheet_index(bad)) << bad;

    // "+1" of two sheets is sheet 1; the sheet count itself or an unusable text is raw.
    auto r = parse("<definedName name=\"A\" localSheetId=\"+1\">1</definedName>"
                   "<definedName name=\"B\" localSheetId=\"2\">1</definedName>"
                   "<definedName name=\"C\" localSheetId=\" 1\">1</definedName>"
                   "<definedName name=\"D\" localSheetId=\"-0\">1</definedName>"
                   "<definedName name=\"E\" localSheetId=\"99999999999999999999\">1</definedName>",
                   2);
    ASSERT_EQ(r.sheet_names.size(), 1u);
    EXPECT_EQ(r.sheet_names[0].sheet, 1u);
    EXPECT_EQ(r.raw.size(), 4u);
    // An unescaped value counts: &#43;1 is "+1".
    r = parse("<definedName name=\"A\" localSheetId=\"&#43;1\">1</definedName>", 2);
    ASSERT_EQ(r.sheet_names.size(), 1u);
}

TEST(DefinedNamesReader, ClassifiesPlainNames) {
    auto tag = [](std::string_view attrs, std::uint64_t sheets = 2) {
        const std::string doc = "<definedName " + std::string(attrs) + "/>";
        xml::Tokenizer tok(doc);
        xml::Event ev;
        EXPECT_TRUE(tok.next(ev));
        auto r = classify_defined_name_scope(ev, sheets);
        EXPECT_TRUE(r);
        return r ? *r : DefinedNameScope{};
    };
    EXPECT_EQ(tag("name=\"a\" comment=\"x\" hidden=\"1\""), DefinedNameScope::workbook());
    EXPECT_EQ(tag("name=\"a\" localSheetId=\"1\""), DefinedNameScope::in_sheet(1));
    EXPECT_EQ(tag("name=\"a\" localSheetId=\"x\" localSheetId=\"1\""), DefinedNameScope::in_sheet(1));  // last decides
    EXPECT_EQ(tag("name=\"a\" function=\"1\""), DefinedNameScope::raw());
    EXPECT_EQ(tag("name=\"a\" x:hidden=\"1\""), DefinedNameScope::raw());
    EXPECT_EQ(tag("comment=\"no name\""), DefinedNameScope::raw());
    EXPECT_EQ(tag("name=\"_xlnm.Other\""), DefinedNameScope::raw());
    EXPECT_EQ(tag("name=\"a\" localSheetId=\"2\""), DefinedNameScope::raw());
    // Flags stated off say nothing the model lacks; set, or spelt otherwise, they keep the name raw.
    EXPECT_EQ(tag("function=\"false\" hidden=\"false\" localSheetId=\"0\" name=\"a\" vbProcedure=\"false\""),
              DefinedNameScope::in_sheet(0));
    EXPECT_EQ(tag("name=\"a\" xlm=\"0\" publishToServer=\"fal&#115;e\" workbookParameter=\"0\""),
              DefinedNameScope::workbook());
    for (const char* raw : {"function=\"true\"", "vbProcedure=\"1\"", "xlm=\" 0\"", "function=\"FALSE\"",
                            "functionGroupId=\"0\"", "shortcutKey=\"\"", "description=\"\""})
        EXPECT_EQ(tag("name=\"a\" " + std::string(raw)), DefinedNameScope::raw()) << raw;

    const std::string doc = "<definedName name=\"&bogus;\"/>";
    xml::Tokenizer tok(doc);
    xml::Event ev;
    ASSERT_TRUE(tok.next(ev));
    auto r = classify_defined_name_scope(ev, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Xml);
}

TEST(DefinedNamesReader, ModelledNamesKeepTheirTextUntrimmed) {
    auto r = parse("<definedName name=\"Rate\" comment=\" c \" hidden=\"true\">  a &amp; b  </definedName>"
                   "<definedName name=\"Other\" hidden=\"TRUE\">x<!-- gone --><![CDATA[<&amp;>]]><i>in</i></definedName>"
                   "<definedName name=\"rate\"/>"
                   "<definedName name=\"Rate\"> second </definedName>"
                   "<definedName name=\"Blank\">   </definedName>");
    const auto& items = r.workbook_names.items();
    ASSERT_EQ(items.size(), 3u);
    // "rate" and the second "Rate" each replace the one before in place (one name in any ASCII
    // case), comment and hidden flag included.
    EXPECT_EQ(items[0], DefinedName::make("Rate", " second "));
    EXPECT_EQ(items[1], DefinedName::make("Other", "x<&amp;>in"));
    EXPECT_EQ(items[2], DefinedName::make("Blank", "   "));

    r = parse("<definedName name=\"Rate\" comment=\" c \" hidden=\"true\">  a &amp; b  </definedName>");
    EXPECT_EQ(r.workbook_names.items()[0], (DefinedName{"Rate", "  a & b  ", " c ", true}));
}

TEST(DefinedNamesReader, RawElementsAreCapturedByteForByte) {
    const std::string raw =
        "<definedName  name='_xlnm._FilterDatabase'\tlocalSheetId=\"0\" hidden=\"1\" >A&amp;B<!-- note -->"
        "<?pi x?><![CDATA[ <raw> ]]>&lt;<inner a=\"1\"><leaf/>t</inner >\n end</definedName>";
    auto r = parse(raw + "<definedName name=\"f\" function=\"1\" vbProcedure=\"1\"/>");
    ASSERT_EQ(r.raw.size(), 2u);
    // Only the white space before ">" in an end tag goes.
    std::string expected = raw;
    expected.replace(expected.find("</inner >"), 9, "</inner>");
    EXPECT_EQ(r.raw[0], expected);
    EXPECT_EQ(r.raw[1], "<definedName name=\"f\" function=\"1\" vbProcedure=\"1\"/>");

    // Nested definedName elements end the capture only at the outer end tag.
    r = parse("<definedName name=\"_xlnm.X\"><definedName>a</definedName>b</definedName>");
    ASSERT_EQ(r.raw.size(), 1u);
    EXPECT_EQ(r.raw[0], "<definedName name=\"_xlnm.X\"><definedName>a</definedName>b</definedName>");
}

TEST(DefinedNamesReader, RawElementsStayWellFormedOutsideTheirPart) {
    // A part that binds the main namespace to a prefix: the regenerated part binds it as default.
    const std::string doc = std::string("<x:workbook xmlns:x=\"") + kMain +
                            "\" xmlns:ext=\"urn:ext\"><x:definedNames>"
                            "<x:definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\">S!$A$1</x:definedName>"
                            "<x:definedName name=\"a\" ext:flag=\"1\"/>"
                            "<x:definedName name=\"_xlnm.Y\" xmlns:x=\"urn:own\"><x:own/></x:definedName>"
                            "<x:definedName name=\"Plain\">1</x:definedName>"
                            "</x:definedNames></x:workbook>";
    auto r = parse_workbook_defined_names(doc, 1);
    ASSERT_TRUE(r) << r.error().display();
    ASSERT_EQ(r->raw.size(), 3u);
    EXPECT_EQ(r->raw[0], "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\">S!$A$1</definedName>");
    // A prefix bound elsewhere travels with the element.
    EXPECT_EQ(r->raw[1], "<definedName xmlns:ext=\"urn:ext\" name=\"a\" ext:flag=\"1\"/>");
    // A prefix the element binds itself is left alone.
    EXPECT_EQ(r->raw[2], "<x:definedName name=\"_xlnm.Y\" xmlns:x=\"urn:own\"><x:own/></x:definedName>");
    EXPECT_EQ(r->workbook_names.items()[0], DefinedName::make("Plain", "1"));
}

TEST(DefinedNamesReader, PrintSettingsForMissingSheetsAreKeptRaw) {
    const std::string area = "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"7\">Sheet8!$A$1:$B$2</definedName>";
    const std::string titles = "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"3\">Sheet4!$1:$1</definedName>";
    auto r = parse(area + titles, 3);
    EXPECT_TRUE(r.print.areas.empty());
    EXPECT_TRUE(r.print.titles.empty());
    ASSERT_EQ(r.raw.size(), 2u);
    EXPECT_EQ(r.raw[0], area);
    EXPECT_EQ(r.raw[1], titles);

    Workbook wb;
    wb.sheets.emplace_back("S");
    apply_defined_names(wb, std::move(r));
    EXPECT_FALSE(wb.sheets[0].print_area_text);
    EXPECT_EQ(wb.raw_defined_names.size(), 2u);
}

TEST(DefinedNamesReader, ApplyFillsSheetsAndWorkbook) {
    auto r = parse("<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">S!A1:B2</definedName>"
                   "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">S!$C$3</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">S!$1:$1</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">S!$A:$A</definedName>"
                   "<definedName name=\"N\" localSheetId=\"1\">1</definedName>"
                   "<definedName name=\"N\" localSheetId=\"1\">2</definedName>"
                   "<definedName name=\"W\">3</definedName>"
                   "<definedName name=\"_xlnm.Z\">4</definedName>",
                   2);
    Workbook wb;
    wb.sheets.emplace_back("S");
    wb.sheets.emplace_back("T");
    apply_defined_names(wb, std::move(r));
    EXPECT_EQ(wb.sheets[0].print_area_text, "$C$3");
    // The later titles entry replaces both parts.
    EXPECT_FALSE(wb.sheets[1].print_title_rows);
    EXPECT_EQ(wb.sheets[1].print_title_cols, "$A:$A");
    ASSERT_EQ(wb.sheets[1].defined_names.size(), 1u);
    EXPECT_EQ(wb.sheets[1].defined_names.items()[0].value, "2");
    EXPECT_EQ(wb.defined_names.names(), std::vector<std::string>{"W"});
    EXPECT_EQ(wb.raw_defined_names, std::vector<std::string>{"<definedName name=\"_xlnm.Z\">4</definedName>"});
}

TEST(DefinedNamesReader, Failures) {
    const std::string head = std::string("<workbook xmlns=\"") + kMain + "\"><definedNames>";
    auto e = parse_error(head + "<definedName name=\"Plain\">abc");
    EXPECT_EQ(e.kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(e.message, "unterminated <definedName> text");
    e = parse_error(head + "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">");
    EXPECT_EQ(e.message, "unterminated <definedName> text");
    e = parse_error(head + "<definedName name=\"_xlnm.Other\">abc<x>");
    EXPECT_EQ(e.kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(e.message, "unterminated <definedName> element");

    // A CDATA section of a modelled name that is not UTF-8: index from the section's content.
    e = parse_error(head + "<definedName name=\"P\"><![CDATA[ab\xff]]></definedName></definedNames></workbook>");
    EXPECT_EQ(e.kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(e.message, "invalid utf-8 sequence of 1 bytes from index 2");
    // In a raw element: index from the start of the element's text.
    e = parse_error(head + "<definedName name=\"_xlnm.Q\">\xe2\x82</definedName></definedNames></workbook>");
    EXPECT_EQ(e.kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(e.message, "invalid utf-8 sequence of 2 bytes from index 28");

    // Malformed XML and unknown entities are XML errors.
    EXPECT_EQ(parse_error(head + "<definedName name=\"P\">a</defined></definedNames></workbook>").kind, ErrorKind::Xml);
    EXPECT_EQ(parse_error(head + "<definedName name=\"P\">&nbsp;</definedName></definedNames></workbook>").kind,
              ErrorKind::Xml);
    EXPECT_EQ(parse_error(head + "<definedName name=\"P\" hidden=1/></definedNames></workbook>").kind, ErrorKind::Xml);
    // Invalid UTF-8 in a text that is read.
    EXPECT_EQ(parse_error(head + "<definedName name=\"P\">\xff</definedName></definedNames></workbook>").kind,
              ErrorKind::Xml);
}

// ---- through the open sequence ----

#include "support/open_package.hpp"

TEST(DefinedNamesReader, OpenAppliesNamesAndKeepsPrintSettingsOfMissingSheets) {
    test::Package p;
    p.sheet("First", "<sheetData/>");
    p.sheet("Second", "<sheetData/>");
    const std::string lost = "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"2\">Gone!$A$1</definedName>";
    // The package builder puts this markup before the sheet list; the pass reads it wherever it stands.
    p.workbook_head("<definedNames>"
                    "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">Second!$A$1:$C$3</definedName>"
                    "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"0\">First!$1:$1</definedName>" +
                    lost +
                    "<definedName name=\"Local\" localSheetId=\"1\">Second!$B$2</definedName>"
                    "<definedName name=\"Global\">First!$A$1</definedName>"
                    "</definedNames>");
    auto wb = test::open_package(p);
    ASSERT_TRUE(wb) << wb.error().display();
    EXPECT_EQ(wb->sheets[1].print_area_text, "$A$1:$C$3");
    EXPECT_EQ(wb->sheets[0].print_title_rows, "$1:$1");
    EXPECT_EQ(wb->sheets[1].defined_names.names(), std::vector<std::string>{"Local"});
    EXPECT_EQ(wb->defined_names.names(), std::vector<std::string>{"Global"});
    EXPECT_EQ(wb->raw_defined_names, std::vector<std::string>{lost});
}
