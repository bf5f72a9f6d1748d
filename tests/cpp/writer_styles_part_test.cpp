#include "writer/styles_part.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "reader/reader.hpp"
#include "reader/styles.hpp"
#include "support/package_builder.hpp"
#include "support/temp_dir.hpp"
#include "support/xml_well_formed.hpp"
#include "support/zip_outputs.hpp"
#include "writer/package.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

constexpr std::string_view kHead =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)";
constexpr std::string_view kFixedMiddle =
    R"(<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>)"
    R"(<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>)";
constexpr std::string_view kCellStyles =
    R"(<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>)";

CollectedStyles defaults() {
    CollectedStyles st;
    st.fonts = {Font{}};
    st.fills = {Fill{"none", std::nullopt, std::nullopt}, Fill{"gray125", std::nullopt, std::nullopt}};
    st.cell_xfs = {CellXf{}};
    return st;
}

// The `list` element of the part, from its start tag through its end tag.
std::string list_of(const std::string& xml, std::string_view list = "fonts") {
    const auto a = xml.find("<" + std::string(list)), b = xml.find("</" + std::string(list) + ">");
    return a == std::string::npos || b == std::string::npos ? "" : xml.substr(a, b + list.size() + 3 - a);
}

Font loaded(Font f) {
    f.loaded = true;
    return f;
}

std::string written(const CollectedStyles& st) {
    auto xml = write_styles_xml(st);
    EXPECT_TRUE(xml) << xml.error().message;
    EXPECT_TRUE(test::parses_as_xml(*xml));
    return *xml;
}

}  // namespace

TEST(StylesPart, NewWorkbookExactText) {
    EXPECT_EQ(written(defaults()),
              std::string(kHead) +
                  R"(<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>)"
                  R"(<fills count="2"><fill><patternFill patternType="none"></patternFill></fill>)"
                  R"(<fill><patternFill patternType="gray125"></patternFill></fill></fills>)" +
                  std::string(kFixedMiddle) +
                  R"(<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs>)" +
                  std::string(kCellStyles) + "</styleSheet>");
}

TEST(StylesPart, FontsNumberFormatsAndCellFormats) {
    CollectedStyles st = defaults();
    st.fonts = {
        Font{"Arial", std::nullopt, 0, false, false, false},
        Font{"", std::nullopt, 10.5, true, true, true},
        Font{"", ColorTheme{1, -0.25}, 0, false, false, false},
        Font{"", std::nullopt, std::nan(""), false, false, false},
        Font{"A&B", ColorIndexed{8}, std::numeric_limits<double>::infinity(), false, false, false},
        // Read from a package: what it had and nothing more.
        loaded(Font{}),
        loaded(Font{"", std::nullopt, std::nan(""), true, false, false}),
    };
    st.num_fmts = {{164, "yyyy-mm-dd"}, {170, "0.0\"<x>\""}};
    st.cell_xfs = {CellXf{}, CellXf{4, 1, 170}};
    const std::string xml = written(st);
    EXPECT_EQ(list_of(xml),
              R"(<fonts count="7">)"
              R"(<font><name val="Arial"/></font>)"
              R"(<font><b/><i/><strike/><sz val="10.5"/></font>)"
              R"(<font><color theme="1" tint="-0.25"/></font>)"
              R"(<font><sz val="11"/></font>)"
              R"(<font><name val="A&amp;B"/><color indexed="8"/></font>)"
              R"(<font></font><font><b/></font>)"
              R"(</fonts>)");
    EXPECT_NE(xml.find(std::string(kHead) +
                       R"(<numFmts count="2"><numFmt numFmtId="164" formatCode="yyyy-mm-dd"/>)"
                       R"(<numFmt numFmtId="170" formatCode="0.0&quot;&lt;x&gt;&quot;"/></numFmts><fonts)"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(<xf numFmtId="170" fontId="4" fillId="1" borderId="0" xfId="0"/></cellXfs>)"),
              std::string::npos);
}

TEST(StylesPart, FillsKeepBothColours) {
    CollectedStyles st = defaults();
    st.fills.push_back(Fill{"solid", ColorArgb{"FFff0000"}, ColorIndexed{64}});
    st.fills.push_back(Fill{"darkGrid", std::nullopt, ColorTheme{3, std::nullopt}});
    const std::string xml = written(st);
    EXPECT_NE(xml.find(R"(<fill><patternFill patternType="solid"><fgColor rgb="FFff0000"/><bgColor indexed="64"/>)"
                       R"(</patternFill></fill>)"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(<fill><patternFill patternType="darkGrid"><bgColor theme="3"/></patternFill></fill></fills>)"),
              std::string::npos);
}

TEST(StylesPart, DifferentialFormats) {
    CollectedStyles st = defaults();
    st.dxfs = {
        Dxf{Font{"Arial", ColorArgb{"FF000000"}, 9, true, true, true}, Fill{"solid", ColorArgb{"FFFFFF00"}, ColorArgb{"FF0000FF"}}},
        Dxf{Font{}, std::nullopt},
        Dxf{},
    };
    const std::string xml = written(st);
    EXPECT_NE(xml.find(std::string(kCellStyles) +
                       R"(<dxfs count="3"><dxf><font><b val="1"/><i val="1"/><strike/><sz val="9"/><name val="Arial"/>)"
                       R"(<color rgb="FF000000"/></font><fill><patternFill patternType="solid"><fgColor rgb="FFFFFF00"/>)"
                       R"(<bgColor rgb="FF0000FF"/></patternFill></fill></dxf><dxf><font></font></dxf><dxf></dxf></dxfs>)"
                       R"(</styleSheet>)"),
              std::string::npos);

    // A colour without a pattern (what a reader makes of a patternFill without patternType) is
    // the solid highlight of a rule: no explicit "none". In the fills list "none" stays.
    st = defaults();
    st.fills.push_back(Fill{"none", std::nullopt, ColorArgb{"FFFFC7CE"}});
    st.dxfs = {Dxf{std::nullopt, Fill{"none", std::nullopt, ColorArgb{"FFFFC7CE"}}},
               Dxf{std::nullopt, Fill{"none", ColorArgb{"FF00FF00"}, std::nullopt}},
               Dxf{std::nullopt, Fill{"none", std::nullopt, std::nullopt}}};
    const std::string highlight = written(st);
    EXPECT_NE(highlight.find(R"(<fill><patternFill patternType="none"><bgColor rgb="FFFFC7CE"/></patternFill></fill></fills>)"),
              std::string::npos);
    EXPECT_NE(highlight.find(R"(<dxfs count="3"><dxf><fill><patternFill><bgColor rgb="FFFFC7CE"/></patternFill></fill></dxf>)"
                             R"(<dxf><fill><patternFill><fgColor rgb="FF00FF00"/></patternFill></fill></dxf>)"
                             R"(<dxf><fill><patternFill patternType="none"></patternFill></fill></dxf></dxfs>)"),
              std::string::npos);
}

// A loaded differential format goes back with every child as read, the prefixes it uses declared;
// one that cannot be kept goes back as the model holds it.
TEST(StylesPart, DifferentialFormatsGoBackAsRead) {
    const struct {
        const char* source;  // the dxfs list
        const char* saved;
    } cases[] = {
        {R"(<dxfs count="1"><dxf><font><b val="0"/><i val="false"/><strike val="0"/><color auto="1"/><u/></font>)"
         R"(<numFmt numFmtId="164" formatCode="0.0%"/><fill><patternFill><bgColor auto="1"/></patternFill></fill>)"
         R"(<alignment horizontal="center"/><protection locked="0"/><border><left style="thin"><color auto="1"/></left></border>)"
         R"(<extLst><ext uri="{u}"><q:id>7</q:id></ext></extLst></dxf></dxfs>)",
         R"(<dxfs count="1"><dxf xmlns:q="urn:q"><font><b val="0"/><i val="false"/><strike val="0"/><color auto="1"/><u/></font>)"
         R"(<numFmt numFmtId="164" formatCode="0.0%"/><fill><patternFill><bgColor auto="1"/></patternFill></fill>)"
         R"(<alignment horizontal="center"/><protection locked="0"/><border><left style="thin"><color auto="1"/></left></border>)"
         R"(<extLst><ext uri="{u}"><q:id>7</q:id></ext></extLst></dxf></dxfs>)"},
        // A format of an extension inside a format is the outer one's.
        {R"(<dxfs><dxf><font><i/></font><extLst><ext uri="{v}"><dxf><font><u/></font></dxf></ext></extLst></dxf><dxf/></dxfs>)",
         R"(<dxfs count="2"><dxf><font><i/></font><extLst><ext uri="{v}"><dxf><font><u/></font></dxf></ext></extLst></dxf><dxf/></dxfs>)"},
        // Bad input: a prefix bound nowhere, a bad escape in an attribute and in a text.
        {R"(<dxfs><dxf><font><b/><color rgb="FF9C0006"/><z:u/></font></dxf>)"
         R"(<dxf><fill><patternFill patternType="solid"/></fill><alignment horizontal="&bogus;"/></dxf>)"
         R"(<dxf><font><i/></font><extLst><ext>&bogus;</ext></extLst></dxf></dxfs>)",
         R"(<dxfs count="3"><dxf><font><b val="1"/><color rgb="FF9C0006"/></font></dxf>)"
         R"(<dxf><fill><patternFill patternType="solid"></patternFill></fill></dxf><dxf><font><i val="1"/></font></dxf></dxfs>)"},
    };
    for (const auto& c : cases) {
        const std::string doc = std::string(R"(<styleSheet xmlns=")") + test::kMainNs + R"(" xmlns:q="urn:q">)" + c.source +
                                "</styleSheet>";
        auto read = reader::parse_styles(doc);
        ASSERT_TRUE(read) << c.source;
        CollectedStyles st = defaults();
        st.dxfs = read->dxfs;
        EXPECT_EQ(list_of(written(st), "dxfs"), c.saved) << c.source;
    }
}

TEST(StylesPart, ColourTints) {
    xml::XmlWriter w;
    write_color(w, "color", ColorTheme{1, std::nullopt});
    write_color(w, "color", ColorTheme{2, 0.4});
    write_color(w, "color", ColorTheme{2, std::nan("")});  // not writable: left out
    EXPECT_EQ(w.buffer(), R"(<color theme="1"/><color theme="2" tint="0.4"/><color theme="2"/>)");
}

TEST(StylesPart, RefusesTextsXmlCannotCarry) {
    CollectedStyles st = defaults();
    st.fills.push_back(Fill{"so\x01lid", std::nullopt, std::nullopt});
    auto r = write_styles_xml(st);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message, "styles: fill 2 pattern type: text holds U+0001, which XML does not allow (offset 2)");

    st = defaults();
    st.dxfs = {Dxf{Font{"\xC3", std::nullopt, 0, false, false, false}, std::nullopt}};
    r = write_styles_xml(st);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "styles: differential format 0 font name: text is not valid UTF-8 (byte 0xC3 at offset 0)");
}

TEST(StylesPart, CarriedXmlInItsPlace) {
    CollectedStyles st = defaults();
    st.borders = {"<border/>", "<border><left/></border>"};
    st.xf_children = {"", R"(<alignment wrapText="1"/>)"};
    CellXf xf{0, 0, 0, 1, 2, 1};
    xf.set_flag(XfFlag::ApplyBorder, true);
    xf.set_flag(XfFlag::QuotePrefix, false);
    st.cell_xfs.push_back(xf);
    st.blocks = {"<cellStyleXfs/>", "<cellStyles/>", "<tableStyles/>", "<colors/>", "<extLst/>"};
    st.dxfs = {Dxf{std::nullopt, Fill{"solid", std::nullopt, std::nullopt}, "<dxf><numFmt/><border/></dxf>"}};
    const std::string xml = written(st);
    EXPECT_NE(xml.find(R"(</fills><borders count="2"><border/><border><left/></border></borders><cellStyleXfs/>)"
                       R"(<cellXfs count="2"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>)"
                       R"(<xf numFmtId="0" fontId="0" fillId="0" borderId="1" xfId="2" applyBorder="1" quotePrefix="0">)"
                       R"(<alignment wrapText="1"/></xf></cellXfs><cellStyles/><dxfs count="1"><dxf><numFmt/><border/></dxf></dxfs>)"
                       R"(<tableStyles/><colors/><extLst/></styleSheet>)"),
              std::string::npos)
        << xml;
}

// Font children and gradients carried from a source: the children after the model's own, the
// gradient in place of the pattern, in the lists and in differential formats alike.
TEST(StylesPart, CarriedFontChildrenAndGradients) {
    CollectedStyles st = defaults();
    Font font{"Arial", ColorTheme{1, std::nullopt}, 10, true, false, false};
    font.children_xml = R"(<u val="double"/><family val="2"/>)";
    Fill gradient{"none", std::nullopt, std::nullopt, R"(<gradientFill degree="90"><stop position="0"><color theme="0"/></stop></gradientFill>)"};
    st.fonts.push_back(font);
    st.fills.push_back(gradient);
    gradient.bg_color = ColorArgb{"FFFFC7CE"};  // not written beside a gradient
    st.dxfs = {Dxf{font, gradient}};
    const std::string xml = written(st);
    EXPECT_NE(xml.find(R"(<font><b/><sz val="10"/><name val="Arial"/><color theme="1"/><u val="double"/><family val="2"/></font></fonts>)"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(<fill><gradientFill degree="90"><stop position="0"><color theme="0"/></stop></gradientFill></fill></fills>)"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(<dxf><font><b val="1"/><sz val="10"/><name val="Arial"/><color theme="1"/><u val="double"/><family val="2"/></font>)"
                       R"(<fill><gradientFill degree="90"><stop position="0"><color theme="0"/></stop></gradientFill></fill></dxf>)"),
              std::string::npos)
        << xml;
}

// A loaded workbook saved with cells left alone, given an own font or fill, or a date: each keeps
// the border, alignment, protection and cell style of its format, and formats that differ only
// in those stay apart.
TEST(StylesPart, LoadedFormatsKeepTheirLayoutThroughASave) {
    const std::string styles =
        std::string("<styleSheet xmlns=\"") + test::kMainNs +
        R"("><borders count="2"><border/><border><left style="thin"><color indexed="64"/></left><bottom style="double"/></border></borders>)"
        R"(<cellStyleXfs count="2"><xf/><xf borderId="1"><protection locked="0"/></xf></cellStyleXfs><cellXfs count="4"><xf/>)"
        R"(<xf borderId="1" applyAlignment="1"><alignment horizontal="center" vertical="top" wrapText="1" indent="2"/></xf>)"
        R"(<xf borderId="1" xfId="1"><alignment textRotation="90" shrinkToFit="1"/><protection locked="0" hidden="1"/></xf>)"
        R"(<xf borderId="1" applyAlignment="1" quotePrefix="1"><alignment horizontal="center" vertical="top" wrapText="1" indent="2"/></xf>)"
        R"(</cellXfs><cellStyles count="2"><cellStyle name="Normal" xfId="0" builtinId="0"/><cellStyle name="Input" xfId="1" builtinId="20"/>)"
        R"(</cellStyles><dxfs count="1"><dxf><numFmt numFmtId="165" formatCode="0.0%"/><border><top style="thin"/></border></dxf></dxfs>)"
        R"(<colors><mruColors><color rgb="FF00FF00"/></mruColors></colors></styleSheet>)";
    std::string rows;
    for (const char* r : {"1", "2", "3"}) {
        rows += std::string("<row r=\"") + r + "\">";
        for (const char* c : {"A", "B", "C", "D"}) rows += std::string("<c r=\"") + c + r + "\" s=\"" + r + "\"><v>1</v></c>";
        rows += "</row>";
    }
    test::Package p;
    p.set("xl/styles.xml", styles).sheet("S", "<sheetData>" + rows + "</sheetData>");
    p.set("[Content_Types].xml", R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"></Types>)");
    const test::TempDir dir("velmo-styles");
    test::write_file(dir.file("src.xlsx"), p.build());
    auto src = reader::open_workbook(dir.file("src.xlsx"));
    ASSERT_TRUE(src);
    Worksheet& ws = src->sheets[0];
    const Font own_font{"Arial", std::nullopt, 14, true, false, false};
    for (const char* r : {"1", "2", "3"}) {
        ws.find_cell_mut(std::string("B") + r)->extras_mut().font = own_font;
        ws.set_cell_fill(std::string("C") + r, Fill{"solid", ColorArgb{"FFFFFF00"}, std::nullopt});
        ws.set_cell(std::string("D") + r, Value{Date{std::chrono::year{2024}, std::chrono::month{5}, std::chrono::day{6}}});
    }
    test::StringOutput out;
    ASSERT_TRUE(writer::write_package(*src, out, src->source_path));
    auto copy = reader::open_workbook_memory(out.bytes);
    ASSERT_TRUE(copy);

    const auto layout = [](const Cell& c) {
        const StyleSheet& ss = *c.stylesheet;
        const CellXf& xf = ss.cell_xfs.at(c.style_index);
        return ss.borders.at(xf.border_id) + ss.xf_children.at(xf.children) + " style " + std::to_string(xf.xf_id) +
               " flags " + std::to_string(xf.flags);
    };
    for (const char* r : {"1", "2", "3"})
        for (const char* c : {"A", "B", "C", "D"}) {
            const std::string key = std::string(c) + r;
            const Cell* before = ws.find_cell(key);
            const Cell* after = copy->sheets[0].find_cell(key);
            ASSERT_TRUE(after) << key;
            EXPECT_EQ(layout(*after), layout(*before)) << key;
        }
    const Worksheet& saved = copy->sheets[0];
    EXPECT_NE(saved.find_cell("B1")->style_index, saved.find_cell("B3")->style_index);
    const StyleSheet& ss = *saved.find_cell("B1")->stylesheet;
    Font reread = own_font;
    reread.loaded = true;
    EXPECT_EQ(ss.fonts.at(ss.cell_xfs.at(saved.find_cell("B1")->style_index).font_id), reread);
    EXPECT_EQ(ss.blocks, src->stylesheet->blocks);
    EXPECT_EQ(ss.dxfs, src->stylesheet->dxfs);
}

// What the source's root marked ignorable stays so on the written root while something carried,
// wherever it stands, uses it (under whatever prefix); the rest is left out.
TEST(StylesPart, CarriedExtensionsStayIgnorable) {
    const auto root = [](const CollectedStyles& st) {
        const std::string xml = written(st);
        const auto start = xml.find("<styleSheet");
        return xml.substr(start, xml.find('>', start) + 1 - start);
    };
    CollectedStyles st = defaults();
    st.blocks.ignorable = {{"xr", "urn:xr"}, {"x14ac", "urn:ac"}, {"ns1", "urn:n"}};
    EXPECT_EQ(root(st), R"(<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)");
    st.blocks.cell_styles = R"(<cellStyles><cellStyle xmlns:xr="urn:xr" xr:uid="{1}"/></cellStyles>)";
    st.fonts[0].children_xml = R"(<q:e xmlns:q="urn:n"/>)";
    const std::string both = R"(<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" )"
                             R"(xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006" mc:Ignorable="xr ns1" )"
                             R"(xmlns:xr="urn:xr" xmlns:ns1="urn:n">)";
    EXPECT_EQ(root(st), both);
    st.fonts[0].children_xml.clear();
    st.dxfs = {Dxf{std::nullopt, std::nullopt, R"(<dxf xmlns:n="urn:n"><n:e/></dxf>)"}};
    EXPECT_EQ(root(st), both);
}
