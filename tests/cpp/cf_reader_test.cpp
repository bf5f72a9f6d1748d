#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/cf_reader.hpp"

using namespace velmo;
using reader::NamespaceScope;

namespace {

constexpr std::string_view kRoot =
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">";

std::vector<Dxf> two_dxfs() {
    Dxf bold;
    bold.font = Font{};
    bold.font->bold = true;
    Dxf red;
    red.fill = Fill{"solid", ColorArgb{"FFFF0000"}, std::nullopt};
    return {bold, red};
}

// Reads the first conditionalFormatting block of `body` (wrapped in a worksheet root); `after`
// receives the local name of the next tag the tokenizer returns, to show where it stopped.
struct BlockReader {
    std::vector<Dxf> dxfs = two_dxfs();
    std::string root{kRoot};
    std::string doc;
    std::string after;

    Result<ConditionalFormatting> try_read(std::string_view body, bool close_root = true) {
        doc = root + std::string(body) + (close_root ? "<next/></worksheet>" : "");
        xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
        NamespaceScope scope;
        xml::Event ev;
        while (tok.next(ev)) {
            if (ev.kind != xml::EventKind::Start) continue;
            if (auto r = scope.push(ev); !r) return fail(r.error());
            if (ev.local_name != "conditionalFormatting") continue;
            auto block = reader::parse_conditional_formatting(tok, ev, dxfs, scope);
            after.clear();
            while (tok.next(ev))
                if (ev.is_tag()) {
                    after = ev.local_name;
                    break;
                }
            return block;
        }
        return fail(VelmoError::xml("no block"));
    }
    ConditionalFormatting read(std::string_view body) {
        auto r = try_read(body);
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
        return r ? std::move(*r) : ConditionalFormatting{};
    }
    ConditionalRule one_rule(std::string_view rule_xml) {
        auto block = read("<conditionalFormatting sqref=\"A1\">" + std::string(rule_xml) + "</conditionalFormatting>");
        EXPECT_EQ(block.rules.size(), 1u);
        return block.rules.empty() ? ConditionalRule{} : block.rules[0];
    }
};

using Strings = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

}  // namespace

TEST(CfReader, CellIsRuleIsModelled) {
    BlockReader b;
    auto block = b.read(
        "<conditionalFormatting sqref=\"A1:A10 C1\"><cfRule type=\"cellIs\" dxfId=\"1\" priority=\"1\" "
        "operator=\"greaterThan\"><formula>10</formula></cfRule></conditionalFormatting>");
    EXPECT_EQ(b.after, "next");
    EXPECT_EQ(block.sqref, "A1:A10 C1");
    ASSERT_EQ(block.rules.size(), 1u);
    const auto& rule = block.rules[0];
    EXPECT_EQ(rule.rule_type, "cellIs");
    EXPECT_EQ(rule.op, "greaterThan");
    EXPECT_EQ(rule.priority, 1u);
    EXPECT_EQ(rule.dxf_id, 1u);
    EXPECT_EQ(rule.dxf, b.dxfs[1]);
    EXPECT_EQ(rule.formulas, Strings{"10"});
    EXPECT_TRUE(rule.extra_attributes.empty());
    EXPECT_EQ(rule.extra_children_xml, "");
    EXPECT_FALSE(rule.stop_if_true);
}

TEST(CfReader, RuleAttributesDefaultWhenUnusable) {
    BlockReader b;
    auto rule = b.one_rule("<cfRule priority=\"x\" stopIfTrue=\"True\" dxfId=\"99\"/>");
    EXPECT_EQ(rule.rule_type, "");
    EXPECT_EQ(rule.priority, std::nullopt);
    EXPECT_FALSE(rule.stop_if_true);
    EXPECT_EQ(rule.dxf_id, 99u);
    EXPECT_FALSE(rule.dxf.has_value());
    EXPECT_FALSE(rule.op.has_value());

    rule = b.one_rule("<cfRule type=\"duplicateValues\" dxfId=\"+0\" priority=\"+4\" stopIfTrue=\"1\"/>");
    EXPECT_EQ(rule.rule_type, "duplicateValues");
    EXPECT_EQ(rule.dxf, b.dxfs[0]);
    EXPECT_EQ(rule.priority, 4u);
    EXPECT_TRUE(rule.stop_if_true);
    EXPECT_TRUE(rule.formulas.empty());

    rule = b.one_rule("<cfRule type=\"containsText\" operator=\"containsText\" text=\"a&amp;b\" "
                      "timePeriod=\"x\" text=\"again\"><formula>NOT(ISERROR(SEARCH(\"a\",A1)))</formula></cfRule>");
    EXPECT_EQ(rule.op, "containsText");
    EXPECT_EQ(rule.extra_attributes, (Pairs{{"text", "a&b"}, {"timePeriod", "x"}, {"text", "again"}}));
}

TEST(CfReader, FormulasAreUnescapedAndKeptInOrder) {
    BlockReader b;
    auto rule = b.one_rule("<cfRule type=\"expression\"><formula> $A1&gt;5 </formula><formula></formula>"
                           "<formula><![CDATA[B1<2]]></formula><x:formula>C1</x:formula></cfRule>");
    EXPECT_EQ(rule.formulas, (Strings{"$A1>5", "", "B1<2", "C1"}));
    EXPECT_EQ(rule.extra_children_xml, "");
}

TEST(CfReader, UnmodelledChildrenAreKeptVerbatim) {
    BlockReader b;
    auto rule = b.one_rule(
        "<cfRule type=\"dataBar\" priority=\"2\">\n  <dataBar showValue=\"0\">\n    <cfvo type=\"min\"/>\n"
        "    <cfvo type='num' val=\"5\" />\n    <color rgb=\"FF638EC6\"/><!-- a comment -->\n  </dataBar>\n"
        "  <note>a &amp; b <![CDATA[<c>]]></note>\n</cfRule>");
    EXPECT_EQ(rule.extra_children_xml,
              "<dataBar showValue=\"0\"><cfvo type=\"min\"/><cfvo type='num' val=\"5\" /><color rgb=\"FF638EC6\"/>"
              "</dataBar><note>a &amp; b&lt;c&gt;</note>");
}

TEST(CfReader, BlocksWithoutRangeOrRules) {
    BlockReader b;
    auto block = b.read("<conditionalFormatting><cfRule type=\"top10\" rank=\"3\"/></conditionalFormatting>");
    EXPECT_EQ(block.sqref, "");
    EXPECT_EQ(block.rules.size(), 1u);
    block = b.read("<conditionalFormatting sqref=\"B2\"><other><cfRule type=\"x\"/></other></conditionalFormatting>");
    EXPECT_EQ(block.rules.size(), 1u);  // stray wrappers are looked through
    EXPECT_EQ(b.after, "next");
    block = b.read("<conditionalFormatting sqref=\"B2\"></conditionalFormatting>");
    EXPECT_TRUE(block.rules.empty());
}

TEST(CfReader, InputEndingInsideABlockKeepsFinishedRules) {
    BlockReader b;
    auto block = b.try_read("<conditionalFormatting sqref=\"A1\"><cfRule type=\"a\"/><cfRule type=\"b\">"
                            "<formula>1</formula></cfRule><cfRule type=\"c\"><formula>2",
                            false);
    ASSERT_TRUE(block) << block.error().message;
    ASSERT_EQ(block->rules.size(), 2u);
    EXPECT_EQ(block->rules[1].formulas, Strings{"1"});
}

TEST(CfReader, MainNamespacePrefixIsDroppedFromKeptElements) {
    BlockReader b;
    auto rule = b.one_rule("<x:cfRule type=\"colorScale\"><x:colorScale><x:cfvo type=\"min\"/><cfvo type=\"max\"/>"
                           "<x:color rgb=\"FF000000\"/></x:colorScale></x:cfRule>");
    EXPECT_EQ(rule.extra_children_xml,
              "<colorScale><cfvo type=\"min\"/><cfvo type=\"max\"/><color rgb=\"FF000000\"/></colorScale>");

    // Under a default namespace of its own, the name keeps its prefix and the prefix its binding.
    rule = b.one_rule("<cfRule type=\"dataBar\"><dataBar xmlns=\"urn:other\"><x:cfvo/></dataBar></cfRule>");
    EXPECT_EQ(rule.extra_children_xml,
              "<dataBar xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
              "xmlns=\"urn:other\"><x:cfvo/></dataBar>");
}

TEST(CfReader, OtherPrefixesCarryTheirDeclarations) {
    BlockReader b;
    // Declared at the root: the outermost kept element gets the declaration, once.
    auto rule = b.one_rule(
        "<cfRule type=\"dataBar\"><dataBar><cfvo type=\"min\"/></dataBar><extLst><ext uri=\"{B025F937}\">"
        "<x14:id>{00000000-0001}</x14:id><x14:id x14:flag=\"1\"/></ext></extLst></cfRule>");
    EXPECT_EQ(rule.extra_children_xml,
              "<dataBar><cfvo type=\"min\"/></dataBar>"
              "<extLst xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">"
              "<ext uri=\"{B025F937}\"><x14:id>{00000000-0001}</x14:id><x14:id x14:flag=\"1\"/></ext></extLst>");

    // Declared inside the kept XML, or on the rule itself: nothing is added.
    rule = b.one_rule("<cfRule type=\"dataBar\"><extLst><ext xmlns:x14=\"urn:mine\"><x14:id/></ext></extLst></cfRule>");
    EXPECT_EQ(rule.extra_children_xml, "<extLst><ext xmlns:x14=\"urn:mine\"><x14:id/></ext></extLst>");
    rule = b.one_rule("<cfRule type=\"t\" xmlns:q=\"urn:q\"><q:thing/></cfRule>");
    EXPECT_EQ(rule.extra_children_xml, "<q:thing/>");
    EXPECT_EQ(rule.extra_attributes, (Pairs{{"xmlns:q", "urn:q"}}));

    // A prefixed attribute of the rule itself brings its declaration along as an attribute.
    rule = b.one_rule("<cfRule type=\"t\" x14:foo=\"1\"/>");
    EXPECT_EQ(rule.extra_attributes,
              (Pairs{{"x14:foo", "1"}, {"xmlns:x14", "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"}}));

    // xml: needs no declaration.
    rule = b.one_rule("<cfRule type=\"t\"><note xml:space=\"preserve\">a</note></cfRule>");
    EXPECT_EQ(rule.extra_children_xml, "<note xml:space=\"preserve\">a</note>");
}

TEST(CfReader, KeptXmlMustStayWellFormed) {
    BlockReader b;
    for (const std::string& rule : {
             std::string("<cfRule type=\"t\"><undeclared:thing/></cfRule>"),
             std::string("<cfRule type=\"t\"><thing undeclared:a=\"1\"/></cfRule>"),
             std::string("<cfRule type=\"t\" undeclared:a=\"1\"/>"),
             std::string("<cfRule type=\"t\"><note>\xff\xfe</note></cfRule>"),
             std::string("<cfRule type=\"t\"><note a=\"\xc3\"/></cfRule>"),
             std::string("<cfRule type=\"t\"><note><![CDATA[\xe2\x82]]></note></cfRule>"),
             std::string("<cfRule type=\"t\"><note>&bogus;</note></cfRule>"),
             std::string("<cfRule type=\"t\"><note a=\"&#1;\"/></cfRule>"),
             std::string("<cfRule type=\"t\"><formula>&#0;</formula></cfRule>"),
             std::string("<cfRule type=\"t\"><formula>\xff</formula></cfRule>"),
             std::string("<cfRule type=\"t\" text=\"&lt\"/>"),
         }) {
        auto block = b.try_read("<conditionalFormatting sqref=\"A1\">" + rule + "</conditionalFormatting>");
        ASSERT_FALSE(block.has_value()) << rule;
        EXPECT_EQ(block.error().kind, ErrorKind::Xml) << rule;
    }
}

TEST(CfReader, AttributeNamesThatAreNotUtf8AreRepaired) {
    BlockReader b;
    auto rule = b.one_rule("<cfRule type=\"t\" a\xff=\"1\"/>");
    EXPECT_EQ(rule.extra_attributes, (Pairs{{"a\xef\xbf\xbd", "1"}}));
}

// What the rule keeps reads in the copy as a parser reads the source: a CDATA section's line ends
// are LFs, literal white space in a value or a namespace name is a space, a reference stays one.
TEST(CfReader, KeptTextAndValuesReadAsTheSourceReads) {
    const struct {
        std::string root_decl, rule, children;
        Pairs attributes;
    } cases[] = {
        {"", "<cfRule type=\"t\" text=\"a\tb\r\nc&#9;d\"><n><![CDATA[1\r\n2\r3\t& <x>]]></n></cfRule>",
         "<n>1\n2\n3\t&amp; &lt;x&gt;</n>", {{"text", "a b c\td"}}},
        {" xmlns:q=\"urn:a\tb\"", "<cfRule type=\"t\"><q:x/></cfRule>", "<q:x xmlns:q=\"urn:a b\"/>", {}},
        {" xmlns:q=\"urn:a&#9;b\"", "<cfRule type=\"t\" q:v=\"1\"/>", "", {{"q:v", "1"}, {"xmlns:q", "urn:a\tb"}}},
    };
    for (const auto& c : cases) {
        BlockReader b;
        b.root.insert(b.root.size() - 1, c.root_decl);
        const ConditionalRule rule = b.one_rule(c.rule);
        EXPECT_EQ(rule.extra_children_xml, c.children) << c.rule;
        EXPECT_EQ(rule.extra_attributes, c.attributes) << c.rule;
    }
}
