#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "reader/styles.hpp"
#include "support/package_builder.hpp"

using namespace velmo;
using reader::parse_styles;

namespace {

StyleSheet styles(std::string_view body) {
    std::string doc = "<styleSheet xmlns=\"x\" xmlns:x=\"" + std::string(test::kMainNs) + "\" xmlns:y=\"urn:y\">";
    doc += body;
    doc += "</styleSheet>";
    auto r = parse_styles(doc);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
    return r ? std::move(*r) : StyleSheet{};
}

Font read(Font f) {
    f.loaded = true;
    return f;
}

}  // namespace

TEST(StylesReader, FontsKeepTheirPositions) {
    auto s = styles(R"(<fonts count="3"><font/><font><b/><sz val="11"/><name val="Calibri"/><color theme="1"/></font>
        <font><i val="1"/><strike/><u/><vertAlign val="superscript"/><sz val=" 9"/></font></fonts>)");
    ASSERT_EQ(s.fonts.size(), 3u);
    EXPECT_EQ(s.fonts[0], read(Font{}));
    EXPECT_TRUE(s.fonts[1].bold);
    EXPECT_FALSE(s.fonts[1].italic);
    EXPECT_EQ(s.fonts[1].size, 11.0);
    EXPECT_EQ(s.fonts[1].name, "Calibri");
    EXPECT_EQ(s.fonts[1].color, Color(ColorTheme{1, std::nullopt}));
    EXPECT_TRUE(s.fonts[2].italic);
    EXPECT_TRUE(s.fonts[2].strike);
    EXPECT_EQ(s.fonts[2].size, 0.0);
}

TEST(StylesReader, FlagsHonourTheirVal) {
    auto s = styles(R"(<fonts><font><b val="0"/><i val="false"/><strike val="true"/></font>
        <font><b></b><i val="1"/></font></fonts>
        <dxfs><dxf><font><b val="0"/><i/></font></dxf></dxfs>)");
    ASSERT_EQ(s.fonts.size(), 2u);
    EXPECT_FALSE(s.fonts[0].bold);
    EXPECT_FALSE(s.fonts[0].italic);
    EXPECT_TRUE(s.fonts[0].strike);
    EXPECT_TRUE(s.fonts[1].bold);
    EXPECT_TRUE(s.fonts[1].italic);
    ASSERT_EQ(s.dxfs.size(), 1u);
    ASSERT_TRUE(s.dxfs[0].font);
    EXPECT_FALSE(s.dxfs[0].font->bold);
    EXPECT_TRUE(s.dxfs[0].font->italic);
}

TEST(StylesReader, LaterChildrenReplaceEarlierOnes) {
    auto s = styles(R"(<fonts><font><sz val="10"/><sz/><color rgb="FF000000"/><color auto="1"/></font>
        <font><sz val="x"/></font></fonts>)");
    ASSERT_EQ(s.fonts.size(), 2u);
    EXPECT_EQ(s.fonts[0].size, 10.0);  // a sz without val leaves it
    EXPECT_FALSE(s.fonts[0].color);    // a colour with none of the attributes clears it
    EXPECT_EQ(s.fonts[1].size, 0.0);
}

TEST(StylesReader, Colors) {
    auto s = styles(R"(<fonts>
        <font><color rgb="FF00FF00" theme="3"/></font>
        <font><color indexed="x" theme="3" tint="-0.25"/></font>
        <font><color theme="3" tint="abc"/></font>
        <font><color theme="-1"/></font>
        <font><color indexed="+64"/></font></fonts>)");
    ASSERT_EQ(s.fonts.size(), 5u);
    EXPECT_EQ(s.fonts[0].color, Color(ColorArgb{"FF00FF00"}));
    EXPECT_EQ(s.fonts[1].color, Color(ColorTheme{3, -0.25}));
    EXPECT_EQ(s.fonts[2].color, Color(ColorTheme{3, std::nullopt}));
    EXPECT_FALSE(s.fonts[3].color);
    EXPECT_EQ(s.fonts[4].color, Color(ColorIndexed{64}));
}

TEST(StylesReader, Fills) {
    auto s = styles(R"(<fills><fill/><fill><patternFill patternType="solid"><fgColor rgb="FFFF0000"/><bgColor indexed="64"/></patternFill></fill>
        <fill><patternFill/></fill><fill><patternFill patternType=""/></fill>
        <fill><gradientFill><stop position="0"><color theme="1"/></stop></gradientFill></fill>
        <fill><fgColor rgb="FF0000FF"/></fill></fills>)");
    ASSERT_EQ(s.fills.size(), 6u);
    EXPECT_EQ(s.fills[0], Fill{});
    EXPECT_EQ(s.fills[1].pattern_type, "solid");
    EXPECT_EQ(s.fills[1].fg_color, Color(ColorArgb{"FFFF0000"}));
    EXPECT_EQ(s.fills[1].bg_color, Color(ColorIndexed{64}));
    EXPECT_EQ(s.fills[2].pattern_type, "none");
    EXPECT_EQ(s.fills[3].pattern_type, "");
    // A gradient is kept whole; the pattern and its colours stay as for a fill without any.
    EXPECT_EQ(s.fills[4], (Fill{"none", std::nullopt, std::nullopt, R"(<gradientFill><stop position="0"><color theme="1"/></stop></gradientFill>)"}));
    EXPECT_EQ(s.fills[5].fg_color, Color(ColorArgb{"FF0000FF"}));
}

TEST(StylesReader, CellXfsAndNumberFormats) {
    auto s = styles(R"(<numFmt numFmtId="200" formatCode="ignored"/>
        <numFmts count="99999999999"><numFmt numFmtId="164" formatCode="yyyy-mm-dd"/><numFmt numFmtId="165"/>
        <numFmt numFmtId="x" formatCode="0"/><numFmt numFmtId="164" formatCode="d/m/yy"/></numFmts>
        <cellStyleXfs><xf fontId="7"/></cellStyleXfs>
        <cellXfs><xf fontId="2" fillId="x"/><xf fontId="+2" numFmtId="164"><alignment/></xf><xf fontId="4294967296"/></cellXfs>)");
    ASSERT_EQ(s.num_fmts.size(), 1u);
    EXPECT_EQ(s.num_fmts.at(164), "d/m/yy");
    ASSERT_EQ(s.cell_xfs.size(), 3u);
    EXPECT_EQ(s.cell_xfs[0], (CellXf{2, 0, 0}));
    EXPECT_EQ(s.cell_xfs[1], (CellXf{2, 0, 164, 0, 0, 1}));
    EXPECT_EQ(s.cell_xfs[2], (CellXf{0, 0, 0}));
}

TEST(StylesReader, DifferentialFormats) {
    auto s = styles(R"(<dxfs count="4"><dxf><font><b/><color rgb="FF9C0006"/></font><fill><patternFill><bgColor rgb="FFFFC7CE"/></patternFill></fill>
        <numFmt numFmtId="3" formatCode="0"/><border/></dxf><dxf/><dxf><font/><fill/></dxf></dxfs>
        <extLst><ext><x14:dxfs xmlns:x14="y"><x14:dxf><x14:fill><x14:patternFill patternType="solid"/></x14:fill></x14:dxf></x14:dxfs></ext></extLst>)");
    // The extension list's formats stay in it.
    ASSERT_EQ(s.dxfs.size(), 3u);
    EXPECT_NE(s.blocks.ext_lst.find("<x14:dxfs"), std::string::npos);
    ASSERT_TRUE(s.dxfs[0].font);
    EXPECT_TRUE(s.dxfs[0].font->bold);
    EXPECT_EQ(s.dxfs[0].font->color, Color(ColorArgb{"FF9C0006"}));
    ASSERT_TRUE(s.dxfs[0].fill);
    EXPECT_EQ(s.dxfs[0].fill->bg_color, Color(ColorArgb{"FFFFC7CE"}));
    EXPECT_EQ(s.dxfs[1], (Dxf{std::nullopt, std::nullopt, "<dxf/>"}));
    EXPECT_EQ(s.dxfs[2].font, read(Font{}));
    EXPECT_EQ(s.dxfs[2].fill, Fill{});
    EXPECT_TRUE(s.num_fmts.empty());
}

// What the model carries without interpreting it: the source's XML, with a prefix of the main
// namespace dropped and other prefixes declared where they are used; what cannot be kept is left out.
TEST(StylesReader, KeptXml) {
    const auto join = [](const std::vector<std::string>& list) {
        std::string out;
        for (const auto& item : list) out += item + "|";
        return out;
    };
    struct Case {
        const char* body;
        std::function<std::string(const StyleSheet&)> kept;
        const char* want;
    } cases[] = {
        // The last border: a prefix bound again inside names the outer namespace again past that element's end.
        {R"(<x:borders><border/><x:border y:a="1"><x:left style="thin"><color indexed="8"/></x:left><y:b/></x:border>)"
         R"(<border><z:left/></border><border><left><y:c xmlns:y="urn:z"/></left><y:b/></border></x:borders>)",
         [&](const StyleSheet& s) { return join(s.borders); },
         R"(<border/>|<border xmlns:y="urn:y" y:a="1"><left style="thin"><color indexed="8"/></left><y:b/></border>|<border/>|)"
         R"(<border xmlns:y="urn:y"><left><y:c xmlns:y="urn:z"/></left><y:b/></border>|)"},
        {R"(<cellXfs><xf borderId="1" xfId="2" applyBorder="1" applyFont="false" quotePrefix="yes" pivotButton="true">)"
         R"(<alignment wrapText="1"/><extLst/><protection locked="0"/></xf><xf><alignment wrapText="1"/><protection locked="0"/></xf>)"
         R"(<xf/></cellXfs>)",
         [&](const StyleSheet& s) {
             std::string out;
             for (const CellXf& x : s.cell_xfs) {
                 out += std::to_string(x.border_id) + std::to_string(x.xf_id) + std::to_string(x.children) + " ";
                 for (size_t f = 0; f < std::size(kXfFlagNames); ++f) {
                     const auto v = x.flag(XfFlag(f));
                     out += !v ? '-' : *v ? '1' : '0';
                 }
                 out += " ";
             }
             return out + join(s.xf_children);
         },
         R"(121 -0-1---1 001 -------- 000 -------- |<alignment wrapText="1"/><protection locked="0"/>|)"},
        {R"(<cellStyleXfs count="1"><xf/></cellStyleXfs><cellStyles><cellStyle name="Good"/></cellStyles><tableStyles count="0"/>)"
         R"(<colors><mruColors/></colors><extLst><ext><z:a/></ext></extLst>)",
         [&](const StyleSheet& s) {
             const StyleBlocks& b = s.blocks;
             return join({b.cell_style_xfs, b.cell_styles, b.table_styles, b.colors, b.ext_lst}) + std::to_string(s.cell_xfs.size());
         },
         R"(<cellStyleXfs count="1"><xf/></cellStyleXfs>|<cellStyles><cellStyle name="Good"/></cellStyles>|<tableStyles count="0"/>|)"
         R"(<colors><mruColors/></colors>||0)"},
        {R"(<dxfs><dxf><font><b/></font><numFmt numFmtId="164" formatCode="0.0%"/><fill/><alignment wrapText="1"/>)"
         R"(<border><top style="thin"/></border></dxf><dxf><x:font><y:b/></x:font></dxf></dxfs>)",
         [&](const StyleSheet& s) { return join({s.dxfs.at(0).xml, s.dxfs.at(1).xml}); },
         R"(<dxf><font><b/></font><numFmt numFmtId="164" formatCode="0.0%"/><fill/><alignment wrapText="1"/>)"
         R"(<border><top style="thin"/></border></dxf>|<dxf xmlns:y="urn:y"><font><y:b/></font></dxf>|)"},
        // Font children besides the six the model reads, in cell fonts and differential ones.
        {R"(<fonts><font><b/><u val="double"/><sz val="9"/><x:vertAlign val="subscript"/><name val="MS Gothic"/>)"
         R"(<family val="3"/><charset val="128"/><y:c/></font><font><u/></font><font/></fonts>)"
         R"(<dxfs><dxf><font><outline/><i/><shadow val="0"/></font></dxf></dxfs>)",
         [&](const StyleSheet& s) {
             std::vector<std::string> kept;
             for (const Font& f : s.fonts) kept.push_back(f.children_xml);
             kept.push_back(s.dxfs.at(0).font->children_xml);
             return join(kept) + std::to_string(s.fonts[0].size);
         },
         R"(<u val="double"/><vertAlign val="subscript"/><family val="3"/><charset val="128"/><y:c xmlns:y="urn:y"/>|<u/>||)"
         R"(<outline/><shadow val="0"/>|9.000000)"},
        // A gradient fill of either kind, in the list and in a differential format; a later one wins.
        {R"(<fills><fill><x:gradientFill type="path" left="0.5"><stop position="0"><color rgb="FF0000FF"/></stop></x:gradientFill></fill>)"
         R"(<fill><gradientFill degree="90"/><gradientFill degree="45"><stop position="1"><color theme="4" tint="0.5"/></stop></gradientFill></fill></fills>)"
         R"(<dxfs><dxf><fill><gradientFill degree="30"/></fill></dxf></dxfs>)",
         [&](const StyleSheet& s) { return join({s.fills.at(0).gradient_xml, s.fills.at(1).gradient_xml, s.dxfs.at(0).fill->gradient_xml}); },
         R"(<gradientFill type="path" left="0.5"><stop position="0"><color rgb="FF0000FF"/></stop></gradientFill>|)"
         R"(<gradientFill degree="45"><stop position="1"><color theme="4" tint="0.5"/></stop></gradientFill>|<gradientFill degree="30"/>|)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.kept(styles(c.body)), c.want) << c.body;
}

// A font list inside a font's kept child closes the font the child belonged to before the child
// ends: the child is dropped, not attached to a font no longer open.
TEST(StylesReader, FontListInsideAFontChild) {
    auto s = styles(R"(<fonts><font><y:c><fonts><font><b/></font></fonts></y:c><sz val="9"/></font></fonts>)");
    ASSERT_EQ(s.fonts.size(), 1u);
    EXPECT_TRUE(s.fonts[0].bold);
    EXPECT_EQ(s.fonts[0].children_xml, "");
}

TEST(StylesReader, PrefixedAttributesDoNotMatch) {
    auto s = styles(R"(<x:fonts><x:font><x:sz x:val="12"/></x:font></x:fonts>)");
    ASSERT_EQ(s.fonts.size(), 1u);
    EXPECT_EQ(s.fonts[0].size, 0.0);
    EXPECT_TRUE(styles("").fonts.empty());
}

TEST(StylesReader, XmlErrors) {
    for (const char* doc : {"<styleSheet><fonts><font><name val=\"&nbsp;\"/></font></fonts></styleSheet>",
                            "<styleSheet><fonts></font></styleSheet>", "<styleSheet><cellXfs><xf fontId=1/></cellXfs></styleSheet>"}) {
        auto r = parse_styles(doc);
        ASSERT_FALSE(r) << doc;
        EXPECT_EQ(r.error().kind, ErrorKind::Xml);
    }
}

namespace {

constexpr std::string_view kMcNs = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// An mc:AlternateContent of one choice requiring `required` and a fallback (none when null).
std::string alt(std::string_view required, std::string_view choice, const char* fallback) {
    std::string s = "<mc:AlternateContent xmlns:mc=\"" + std::string(kMcNs) + "\"><mc:Choice Requires=\"" +
                    std::string(required) + "\">" + std::string(choice) + "</mc:Choice>";
    if (fallback) s += "<mc:Fallback>" + std::string(fallback) + "</mc:Fallback>";
    return s + "</mc:AlternateContent>";
}

// The records as a short text: fonts (b, i, size), cell formats (font id), borders, dxfs (font
// bold or not) and number format 164.
std::string summary(const StyleSheet& s) {
    std::string out = "F";
    for (const Font& f : s.fonts)
        out += std::string(" ") + (f.bold ? "b" : "") + (f.italic ? "i" : "") + std::to_string(int(f.size)) + f.children_xml;
    out += " X";
    for (const CellXf& x : s.cell_xfs) out += " " + std::to_string(x.font_id);
    out += " B";
    for (const std::string& b : s.borders) out += " " + b;
    out += " D";
    for (const Dxf& d : s.dxfs) out += d.font && d.font->bold ? " b" : " -";
    if (const auto it = s.num_fmts.find(164); it != s.num_fmts.end()) out += " N " + it->second;
    return out;
}

}  // namespace

// Of alternatives, a record counts once: the first choice whose required namespaces the reader
// models (the main one, "x" here), else the fallback; "y" is an extension it does not read.
TEST(StylesReader, AlternativesCountOnce) {
    const std::string b20 = R"(<font><b/><sz val="20"/></font>)", i8 = R"(<font><i/><sz val="8"/></font>)";
    const struct {
        std::string body;
        const char* want;
    } cases[] = {
        {"<fonts><font><sz val=\"11\"/></font>" + alt("y", R"(<font><b/><sz val="20"/><y:e/></font>)", b20.c_str()) + i8 +
             "</fonts>",
         "F 11 b20 i8 X B D"},
        {"<fonts>" + alt("x", b20, i8.c_str()) + "</fonts>", "F b20 X B D"},
        {"<fonts>" + alt("q", b20, i8.c_str()) + alt("", b20, i8.c_str()) + alt("x y", b20, i8.c_str()) + "</fonts>",
         "F i8 i8 i8 X B D"},
        {"<fonts>" + alt("y", b20, nullptr) + i8 + "</fonts>", "F i8 X B D"},
        // The first choice taken wins over a later one and over the fallback; one that requires
        // nothing is not taken.
        {"<fonts><mc:AlternateContent xmlns:mc=\"" + std::string(kMcNs) + "\"><mc:Choice>" + b20 + "</mc:Choice><mc:Choice Requires=\"y\">" + b20 +
             "</mc:Choice><mc:Choice Requires=\"x\">" + i8 + "</mc:Choice><mc:Choice Requires=\"x\">" + b20 +
             "</mc:Choice><mc:Fallback>" + b20 + "</mc:Fallback><font/></mc:AlternateContent></fonts>",
         "F i8 X B D"},
        // Inside a record, around the whole list, around a list's items.
        {"<fonts><font>" + alt("y", "<b/>", "<i/>") + "<sz val=\"8\"/></font></fonts>", "F i8 X B D"},
        {alt("y", "<fonts>" + b20 + b20 + "</fonts>", ("<fonts>" + i8 + "</fonts>").c_str()), "F i8 X B D"},
        {R"(<cellXfs><xf fontId="0"/>)" + alt("y", R"(<xf fontId="1"><alignment/></xf>)", R"(<xf fontId="2"/>)") +
             R"(<xf fontId="3"><alignment wrapText="1"/></xf></cellXfs>)",
         "F X 0 2 3 B D"},
        {"<borders>" + alt("y", "<border><left/></border>", "<border><right/></border>") + "<border/></borders>",
         "F X B <border><right/></border> <border/> D"},
        {"<dxfs>" + alt("y", "<dxf/>", "<dxf><font><b/></font></dxf>") + "<dxf/></dxfs>", "F X B D b -"},
        {"<numFmts>" + alt("y", R"(<numFmt numFmtId="164" formatCode="0.0"/>)", R"(<numFmt numFmtId="164" formatCode="0.00"/>)") +
             "</numFmts>",
         "F X B D N 0.00"},
        // Markup of that name in another namespace is no alternative.
        {R"(<fonts><y:AlternateContent><y:Choice Requires="y"><font/></y:Choice><y:Fallback><font/></y:Fallback></y:AlternateContent></fonts>)",
         "F 0 0 X B D"},
    };
    for (const auto& c : cases) EXPECT_EQ(summary(styles(c.body)), c.want) << c.body;

    // Within what is kept whole, every branch stays as written, with what its choice requires
    // declared; a fill counts once.
    auto s = styles("<cellStyleXfs count=\"1\">" + alt("y", "<xf/>", "<xf/>") + "</cellStyleXfs><fills>" +
                    alt("y", "<fill/>", "<fill/>") + "</fills><dxfs><dxf>" + alt("y", "<font><b/></font>", "<font><i/></font>") +
                    "</dxf></dxfs>");
    EXPECT_EQ(s.blocks.cell_style_xfs, "<cellStyleXfs xmlns:y=\"urn:y\" count=\"1\">" + alt("y", "<xf/>", "<xf/>") + "</cellStyleXfs>");
    EXPECT_EQ(s.fills.size(), 1u);
    ASSERT_EQ(s.dxfs.size(), 1u);
    EXPECT_TRUE(s.dxfs[0].font && s.dxfs[0].font->italic && !s.dxfs[0].font->bold);
    EXPECT_EQ(s.dxfs[0].xml, "<dxf xmlns:y=\"urn:y\">" + alt("y", "<font><b/></font>", "<font><i/></font>") + "</dxf>");
}

TEST(StylesReader, RootIgnorableList) {
    auto s = parse_styles("<styleSheet xmlns=\"" + std::string(test::kMainNs) + "\" xmlns:mc=\"" + std::string(kMcNs) +
                          "\" xmlns:xr=\"urn:xr\" xmlns:a=\"urn:a\" mc:Ignorable=\"a xr b\"><fonts/></styleSheet>");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->blocks.ignorable, (std::vector<std::pair<std::string, std::string>>{{"a", "urn:a"}, {"xr", "urn:xr"}}));
}
