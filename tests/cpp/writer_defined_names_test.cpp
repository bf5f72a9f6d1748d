#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "model/workbook.hpp"
#include "support/xml_well_formed.hpp"
#include "writer/defined_names_block.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

struct Block {
    std::vector<Worksheet> sheets;
    DefinedNames names;
    std::vector<std::string> raw;

    Worksheet& sheet(const char* title) { return sheets.emplace_back(title); }

    std::string write() {
        xml::XmlWriter w;
        auto ok = write_defined_names_block(w, sheets, names, raw);
        EXPECT_TRUE(ok) << ok.error().display();
        if (!w.buffer().empty()) {
            EXPECT_TRUE(velmo::test::parses_as_xml(std::string(xml::kXmlDeclaration) + w.buffer()));
        }
        return w.buffer();
    }
};

std::string wrap(const std::string& inner) { return "<definedNames>" + inner + "</definedNames>"; }

}  // namespace

TEST(DefinedNamesBlock, NothingToWriteGivesNoElement) {
    Block b;
    b.sheet("Sheet");
    EXPECT_EQ(b.write(), "");
}

TEST(DefinedNamesBlock, VerbatimElementsGoOutByteForByte) {
    Block b;
    // The filter the kept name belongs to is still the one loaded.
    b.sheet("Sheet").auto_filter = "A1:B9";
    b.sheets[0].loaded_auto_filter = "A1:B9";
    b.raw = {"<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">'Sheet'!$A$1:$B$9</definedName>",
             "<definedName name=\"x\" function=\"1\">A&amp;B</definedName>"};
    EXPECT_EQ(b.write(), wrap(b.raw[0] + b.raw[1]));
}

// A kept element is left out where a model name of its scope, or a later kept element, defines
// the same name (ASCII case ignored); reserved names and unknown scopes are never left out.
TEST(DefinedNamesBlock, KeptElementsNeverDefineANameTwice) {
    struct Case {
        const char* what;
        std::vector<const char*> book, sheet0;  // model names
        std::vector<std::string> kept;
        std::vector<bool> written;
    };
    const auto kept = [](std::string attrs, std::string text = "1") {
        return "<definedName " + attrs + ">" + text + "</definedName>";
    };
    const std::vector<Case> cases = {
        {"book name replaces", {"Total"}, {}, {kept(R"(name="TOTAL" function="1")")}, {false}},
        {"sheet name replaces", {}, {"Total"}, {kept(R"(name="total" localSheetId="0" xlm="1")")}, {false}},
        {"other scope stays", {"Total"}, {},
         {kept(R"(name="Total" localSheetId="0" xlm="1")"), kept(R"(name="Total" localSheetId="1" xlm="1")")}, {true, true}},
        {"later kept replaces", {}, {},
         {kept(R"(name="f" function="1")"), "<definedName function='1' name='F'/>",
          "<definedName name=\"f\" localSheetId=\"0\" function=\"1\"/>"},
         {false, true, true}},
        {"unknown scope stays", {"f"}, {},
         {kept(R"(name="f" localSheetId="2" function="1")"), kept(R"(name="f" localSheetId="2" function="1")", "2"),
          "<definedName name=\"f\" localSheetId=\"x\" function=\"1\"/>"},
         {true, true, true}},
        {"reserved stays", {}, {},
         {kept(R"(name="_xlnm.Criteria" localSheetId="0")"), kept(R"(name="_xlnm.Criteria" localSheetId="0")", "2")}, {true, true}},
        {"different name stays", {"Tota"}, {"Total2"}, {"<definedName name=\"Total\" function=\"1\"/>"}, {true}},
    };
    for (const Case& c : cases) {
        Block b;
        b.sheet("S");
        b.sheet("T");
        for (const char* n : c.book) ASSERT_TRUE(b.names.add(DefinedName::make(n, "1")));
        for (const char* n : c.sheet0) ASSERT_TRUE(b.sheets[0].defined_names.add(DefinedName::make(n, "1")));
        b.raw.assign(c.kept.begin(), c.kept.end());
        const std::string out = b.write();
        for (size_t i = 0; i < c.kept.size(); ++i)
            EXPECT_EQ(out.find(c.kept[i]) != std::string::npos, c.written[i]) << c.what << " " << i;
    }
}

TEST(DefinedNamesBlock, PrintAreasAndTitlesAreQualifiedWithTheQuotedTitle) {
    Block b;
    b.sheet("Q1 Data").print_area_text = "$A$1:$D$20";
    Worksheet& s = b.sheet("S");
    s.print_area_text = "$A$1:$B$2, $D$1:$E$2";
    s.print_title_rows = "$1:$2";
    s.print_title_cols = "$A:$A";
    b.sheet("Bob's").print_title_cols = "$B:$C";
    EXPECT_EQ(b.write(),
              wrap("<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">&apos;Q1 Data&apos;!$A$1:$D$20</definedName>"
                   "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">"
                   "&apos;S&apos;!$A$1:$B$2,&apos;S&apos;!$D$1:$E$2</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">"
                   "&apos;S&apos;!$1:$2,&apos;S&apos;!$A:$A</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"2\">"
                   "&apos;Bob&apos;&apos;s&apos;!$B:$C</definedName>"));
    EXPECT_EQ(print_titles_value(b.sheets[1]), "'S'!$1:$2,'S'!$A:$A");
    EXPECT_FALSE(print_titles_value(b.sheets[0]));
}

TEST(DefinedNamesBlock, ModelNamesCarryScopeHiddenAndComment) {
    Block b;
    b.sheet("A");
    b.sheet("B");
    b.sheet("C");
    DefinedName hidden = DefinedName::make("Secret", "A!$A$1");
    hidden.hidden = true;
    hidden.comment = "tab\there & <there>";
    b.names.insert(hidden);
    b.names.insert(DefinedName::make("Empty", ""));
    b.sheets[2].defined_names.insert(DefinedName::make("Local", "C!$B$2"));
    EXPECT_EQ(b.write(),
              wrap("<definedName name=\"Secret\" hidden=\"1\" comment=\"tab&#9;here &amp; &lt;there&gt;\">"
                   "A!$A$1</definedName>"
                   "<definedName name=\"Empty\"></definedName>"
                   "<definedName name=\"Local\" localSheetId=\"2\">C!$B$2</definedName>"));
}

TEST(DefinedNamesBlock, OrderOverTwoSheets) {
    Block b;
    for (const char* title : {"One", "Two"}) {
        Worksheet& ws = b.sheet(title);
        ws.print_area_text = "$A$1:$B$2";
        ws.print_title_rows = "$1:$1";
        ws.defined_names.insert(DefinedName::make(std::string("n_") + title, "1"));
    }
    b.names.insert(DefinedName::make("wb", "2"));
    b.raw = {"<definedName name=\"_xlnm.Extract\">x</definedName>"};
    EXPECT_EQ(b.write(),
              wrap("<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">&apos;One&apos;!$A$1:$B$2</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"0\">&apos;One&apos;!$1:$1</definedName>"
                   "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">&apos;Two&apos;!$A$1:$B$2</definedName>"
                   "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">&apos;Two&apos;!$1:$1</definedName>"
                   "<definedName name=\"wb\">2</definedName>"
                   "<definedName name=\"n_One\" localSheetId=\"0\">1</definedName>"
                   "<definedName name=\"n_Two\" localSheetId=\"1\">1</definedName>"
                   "<definedName name=\"_xlnm.Extract\">x</definedName>"));
}

TEST(DefinedNamesBlock, TextsXmlCannotCarryAreRefusedBeforeWriting) {
    Block b;
    b.sheet("Data").defined_names.insert(DefinedName::make("Rate", "0.5\x01"));
    xml::XmlWriter w;
    auto bad = write_defined_names_block(w, b.sheets, b.names, b.raw);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(bad.error().message,
              "sheet \"Data\" defined name \"Rate\": text holds U+0001, which XML does not allow (offset 3)");
    EXPECT_EQ(w.buffer(), "");

    Block c;
    c.sheet("Data");
    DefinedName n = DefinedName::make("Tax", "1");
    n.comment = "\xEF\xBF\xBE";
    c.names.insert(n);
    bad = write_defined_names_block(w, c.sheets, c.names, c.raw);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message.rfind("defined name \"Tax\": text holds U+FFFE", 0), 0u) << bad.error().message;

    Block d;
    d.sheet("Data").print_title_rows = "$1:\x02";
    bad = write_defined_names_block(w, d.sheets, d.names, d.raw);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message.rfind("sheet \"Data\" print titles: ", 0), 0u) << bad.error().message;
}

// The hidden name desktop applications keep beside a sheet's auto filter follows the filter, on a
// sheet whose filter A1:C9 was loaded with the name `kept`.
TEST(DefinedNamesBlock, FilterNameFollowsTheFilter) {
    const std::string head = "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\"";
    const std::string kept = head + " hidden=\"1\">D!$A$1:$C$9</definedName>", other = "<definedName name=\"x\">1</definedName>";
    const auto named = [&](std::string_view range) { return head + " hidden=\"1\">&apos;D&apos;!" + std::string(range) + "</definedName>"; };
    const struct {
        std::vector<std::string> raw;
        std::optional<std::string> filter;  // set anew; none leaves the loaded one
        std::string inner;
    } cases[] = {
        {{kept, other}, std::nullopt, kept + other},
        {{other, kept}, "d5:b2", other + named("$B$2:$D$5")},
        {{kept}, "$A$1:$C$9", kept},
        {{kept, other}, "", other},
        {{kept}, "junk", ""},
        {{other}, std::nullopt, named("$A$1:$C$9") + other},
        {{}, "B2", named("$B$2")},
        {{"<x:definedName xmlns:x=\"urn:x\" name=\"_xlnm._FilterDatabase\" localSheetId=\"0\"/>"}, "A1:B2",
         "<x:definedName xmlns:x=\"urn:x\" name=\"_xlnm._FilterDatabase\" localSheetId=\"0\">&apos;D&apos;!$A$1:$B$2</x:definedName>"},
        // Names for other scopes are not the sheet's.
        {{"<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"7\">Z!$A$1</definedName>"}, "",
         "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"7\">Z!$A$1</definedName>"},
    };
    for (const auto& c : cases) {
        Block b;
        Worksheet& ws = b.sheet("D");
        ws.auto_filter = ws.loaded_auto_filter = "A1:C9";
        if (c.filter) ws.set_auto_filter(*c.filter);
        b.raw = c.raw;
        EXPECT_EQ(b.write(), c.inner.empty() ? "" : wrap(c.inner)) << c.inner;
    }
}

// A sheet loaded with the name but no filter (what a desktop advanced filter leaves) keeps the name
// as it was until the filter is set or cleared.
TEST(DefinedNamesBlock, FilterNameWithoutAFilterStaysUntilTheFilterIsSet) {
    const std::string kept = "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">D!$A$1:$C$9</definedName>";
    const struct {
        std::optional<std::string> filter;  // set anew; none leaves the sheet as loaded
        std::string inner;
    } cases[] = {
        {std::nullopt, kept},
        {"B2:C5", "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">&apos;D&apos;!$B$2:$C$5</definedName>"},
        {"A1:C9", kept},
        {"", ""},
    };
    for (const auto& c : cases) {
        Block b;
        Worksheet& ws = b.sheet("D");
        if (c.filter) ws.set_auto_filter(*c.filter);
        b.raw = {kept};
        EXPECT_EQ(b.write(), c.inner.empty() ? "" : wrap(c.inner)) << c.inner;
    }
    // Each sheet's name follows its own filter.
    Block b;
    b.sheet("D");
    b.sheet("E").set_auto_filter("A1:A2");
    b.raw = {kept, "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"1\" hidden=\"1\">E!$C$1:$C$9</definedName>"};
    EXPECT_EQ(b.write(), wrap(kept + "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"1\" hidden=\"1\">"
                                     "&apos;E&apos;!$A$1:$A$2</definedName>"));
}
