// Markup-compatibility alternatives in the parts other than the styles and the worksheets (whose
// readers' tests hold their own): each list counts the branch taken alone.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "reader/alternate_content.hpp"
#include "reader/comments_reader.hpp"
#include "reader/defined_names_reader.hpp"
#include "reader/shared_strings.hpp"
#include "reader/table_reader.hpp"
#include "reader/workbook_elements.hpp"
#include "reader/workbook_rels.hpp"
#include "support/package_builder.hpp"

using namespace velmo;

namespace {

constexpr std::string_view kMc = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// Alternatives of a choice requiring `required` (an extension "e" unless said) and a fallback,
// the markup-compatibility prefix declared on the wrapper.
std::string alt(std::string_view choice, std::string_view fallback, std::string_view required = "e") {
    return "<mc:AlternateContent xmlns:mc=\"" + std::string(kMc) + "\" xmlns:e=\"urn:e\"><mc:Choice Requires=\"" +
           std::string(required) + "\">" + std::string(choice) + "</mc:Choice><mc:Fallback>" + std::string(fallback) +
           "</mc:Fallback></mc:AlternateContent>";
}

std::string root(std::string_view name, std::string_view body) {
    return "<" + std::string(name) + " xmlns=\"" + test::kMainNs + "\" xmlns:r=\"" + test::kOfficeRelsNs + "\">" +
           std::string(body) + "</" + std::string(name) + ">";
}

template <class T>
T ok(Result<T> r) {
    EXPECT_TRUE(r) << (r ? "" : r.error().message);
    return r ? std::move(*r) : T{};
}

std::string strings(std::string_view body) {
    std::string out;
    for (const auto& s : ok(reader::parse_shared_strings(root("sst", body))).items) out += s.str() + " ";
    return out;
}

}  // namespace

TEST(Alternatives, EachListCountsTheBranchTaken) {
    const std::string wb_rels = test::relationships(test::relationship("rId1", test::rel_type("worksheet"), "a.xml") +
                                                    test::relationship("rId2", test::rel_type("worksheet"), "b.xml"));
    const struct {
        const char* what;
        std::function<std::string()> read;
        const char* want;
    } cases[] = {
        {"shared strings",
         [] {
             return strings("<si><t>a</t></si>" + alt("<si><t>b</t></si><si><t>c</t></si>", "<si><t>d</t></si>") +
                            "<si><t>e</t></si><si>" + alt("<t>f</t>", "<t>g</t>") + "</si>");
         },
         "a d e g "},
        // A choice whose requirement is declared on itself, and one in the main namespace.
        {"declared on the choice",
         [] {
             return strings("<mc:AlternateContent xmlns:mc=\"" + std::string(kMc) + "\"><mc:Choice xmlns:q=\"" +
                            test::kMainNs + "\" Requires=\"q\"><si><t>a</t></si></mc:Choice>" +
                            "<mc:Fallback><si><t>b</t></si></mc:Fallback></mc:AlternateContent>" +
                            alt("<si><t>c</t></si>", "", "r"));
         },
         "a c "},
        {"comment authors",
         [] {
             const auto notes = ok(reader::parse_comments_xml(
                 root("comments", "<authors><author>A</author>" + alt("<author>B</author><author>C</author>", "<author>D</author>") +
                                      "<author>E</author></authors><commentList><comment ref=\"A1\" authorId=\"2\"><text>" +
                                      alt("<t>x</t>", "<t>y</t>") + "</text></comment></commentList>")));
             return notes.at("A1").author + notes.at("A1").text;
         },
         "Ey"},
        {"table columns",
         [] {
             const auto t = ok(reader::parse_table_xml(root(
                 "table", "<tableColumns>" + alt("<tableColumn id=\"1\" name=\"a\"/><tableColumn id=\"2\" name=\"b\"/>",
                                                 "<tableColumn id=\"1\" name=\"c\"/>") +
                              "<tableColumn id=\"3\" name=\"d\"/></tableColumns>")));
             std::string out;
             for (const auto& c : t.columns) out += c.name;
             return out;
         },
         "cd"},
        {"defined names",
         [] {
             const auto names = ok(reader::parse_workbook_defined_names(
                 root("workbook", "<definedNames>" + alt("<definedName name=\"n\">1</definedName><definedName name=\"m\">1</definedName>",
                                                         "<definedName name=\"n\">2</definedName>") +
                                      "</definedNames>"),
                 1));
             return names.workbook_names.find("n")->value + (names.workbook_names.find("m") ? "m" : "");
         },
         "2"},
        {"sheets",
         [&] {
             const auto list = ok(reader::parse_sheet_refs(
                 root("workbook", "<sheets>" + alt("<sheet name=\"A\" r:id=\"rId1\"/><sheet name=\"B\" r:id=\"rId2\"/>",
                                                   "<sheet name=\"B\" r:id=\"rId2\"/>") +
                                      "</sheets>"),
                 wb_rels));
             std::string out;
             for (const auto& s : list.sheets) out += s.name;
             return out;
         },
         "B"},
        // Around the root's children: kept whole, unless they hold what the model reads; then the
        // other children of the branch taken are kept one by one.
        {"workbook children",
         [] {
             // The branch not taken binds "e" otherwise: that binding leaves with it.
             std::string second = alt("<sheets/><calcPr a=\"1\"/>", "<sheets/><calcPr e:a=\"2\"/>");
             second.replace(second.find("<mc:Choice"), 10, "<mc:Choice xmlns:e=\"urn:other\"");
             const auto kept = ok(reader::parse_workbook_elements(root("workbook", alt("<e:absPath url=\"x\"/>", "") + second)));
             std::string out;
             for (const auto& e : kept.elements) out += e.xml + "|";
             return out;
         },
         "<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" xmlns:e=\"urn:e\">"
         "<mc:Choice Requires=\"e\"><e:absPath url=\"x\"/></mc:Choice><mc:Fallback></mc:Fallback></mc:AlternateContent>|"
         "<calcPr xmlns:e=\"urn:e\" e:a=\"2\"/>|"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.read(), c.want) << c.what;
}

// What the walk hands a reader, event by event: the role (Content, Whole, Passed over), the kind
// (start, empty, end, text), the local name and the level it counts at.
std::string walked(std::string_view doc, reader::PartWalkOptions options, bool capture_whole = false) {
    xml::Tokenizer tok(doc, {.trim_text = false});
    reader::PartWalk walk(tok, options);
    std::string out;
    xml::Event ev;
    while (walk.next(ev)) {
        const char role = "CWP"[static_cast<int>(walk.role())];
        const char kind = ev.kind == xml::EventKind::Start ? 's' : ev.kind == xml::EventKind::Empty ? 'e' : ev.kind == xml::EventKind::End ? 'E' : 't';
        out += std::string{role, kind} + std::string(ev.local_name) + std::to_string(walk.level()) + " ";
        // A reader that keeps a Whole wrapper reads past it itself.
        if (capture_whole && walk.role() == reader::PartWalk::Role::Whole && ev.kind == xml::EventKind::Start)
            tok.skip_element();
    }
    EXPECT_TRUE(tok.ok());
    return out;
}

bool reads_b(std::string_view local) { return local == "b"; }

TEST(PartWalk, RolesAndLevelsOfEachEvent) {
    const std::string mc = "xmlns:mc=\"" + std::string(kMc) + "\"";
    const std::string choice_e = "<mc:AlternateContent " + mc + " xmlns:e=\"urn:e\"><mc:Choice Requires=\"e\">";
    const struct {
        std::string doc;
        reader::PartWalkOptions options;
        bool capture_whole;
        const char* want;
    } cases[] = {
        // Skipping: the branch taken reads at its wrapper's level; wrappers' ends are not handed over.
        {"<r>" + choice_e + "<a/></mc:Choice><mc:Fallback><b/></mc:Fallback></mc:AlternateContent></r>", {}, false,
         "Csr1 Ceb2 CEr1 "},
        // Walking: what is dropped comes too, passed over, an element that stands straight inside a
        // wrapper to its end tag; a branch taken reads as content.
        {"<r>" + choice_e + "<a>t</a></mc:Choice><mc:AlternateContent/><c></c><mc:Fallback><b/></mc:Fallback>"
         "</mc:AlternateContent></r>",
         {.walk_dropped = true}, false,
         "Csr1 PsAlternateContent2 PsChoice2 Psa2 Pt2 PEa2 PEChoice2 PeAlternateContent2 Psc2 PEc2 PsFallback2 Ceb2 "
         "PEFallback2 PEAlternateContent2 CEr1 "},
        // A choice whose namespaces are understood is taken, and the prefix a wrapper binds leaves
        // with it: past the wrapper "mc" names nothing, so that element is no alternative.
        {"<r xmlns:x=\"" + std::string(test::kMainNs) + "\"><mc:AlternateContent " + mc + "><mc:Choice Requires=\"x\"><a/></mc:Choice>"
         "<mc:Fallback><b/></mc:Fallback></mc:AlternateContent><mc:AlternateContent><c/></mc:AlternateContent></r>",
         {}, false, "Csr1 Cea2 CsAlternateContent2 Cec3 CEAlternateContent2 CEr1 "},
        // Kept whole at level 2 unless a branch holds what the reader reads, through nested
        // alternatives and the white space between tags; a reader that walks on reads nothing inside.
        {"<r>" + choice_e + "<a/></mc:Choice><mc:Fallback> <mc:AlternateContent><mc:Fallback>\n<b/></mc:Fallback>"
         "</mc:AlternateContent></mc:Fallback></mc:AlternateContent>" + choice_e + "<a/></mc:Choice></mc:AlternateContent></r>",
         {.whole_at = 2, .reads = reads_b}, false, "Csr1 Ct1 Ct1 Ceb2 WsAlternateContent2 CEr1 "},
        {"<r>" + choice_e + "<a/></mc:Choice></mc:AlternateContent><d/></r>", {.whole_at = 2, .reads = reads_b}, true,
         "Csr1 WsAlternateContent2 Ced2 CEr1 "},
    };
    for (const auto& c : cases) EXPECT_EQ(walked(c.doc, c.options, c.capture_whole), c.want) << c.doc;
}
