// The workbook part and relationships a save carries over from its source: kept children in
// schema order, kept relationships with their ids, the calculation chain dropped, a VBA project kept.

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reader/reader.hpp"
#include "support/open_package.hpp"
#include "support/package_builder.hpp"
#include "support/temp_dir.hpp"
#include "support/time_budget.hpp"
#include "support/zip_outputs.hpp"
#include "writer/package.hpp"
#include "writer/workbook_carried.hpp"
#include "zip/archive_reader.hpp"

using namespace velmo;
using test::Package;
using test::rel_type;
using test::relationship;
using test::relationships;

namespace {

std::string workbook_part(const std::string& body, const std::string& root_attributes = "") {
    return std::string("<workbook xmlns=\"") + test::kMainNs + "\" xmlns:r=\"" + test::kOfficeRelsNs + "\"" +
           root_attributes + ">" + body + "</workbook>";
}

constexpr std::string_view kMc = "http://schemas.openxmlformats.org/markup-compatibility/2006";

const std::string kSheets = "<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"B\" sheetId=\"2\" r:id=\"rId2\"/></sheets>";
const std::string kSavedSheets = "<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId2\"/><sheet name=\"B\" sheetId=\"2\" r:id=\"rId3\"/></sheets>";

TEST(WorkbookCarried, KeptChildrenGoBackInSchemaOrderBroughtInLine) {
    struct Case {
        const char* name;
        std::string source;  // children of the source's root
        std::string saved;   // children of the saved root
    } cases[] = {
        {"nothing kept: a view of the active sheet, no calculation properties", kSheets,
         "<bookViews><workbookView activeTab=\"0\"/></bookViews>" + kSavedSheets},
        {"an active tab beyond the sheets shows the first",
         "<bookViews><workbookView activeTab=\"5\" xWindow=\"1\"/></bookViews>" + kSheets + "<calcPr/>",
         "<bookViews><workbookView activeTab=\"0\" xWindow=\"1\"/></bookViews>" + kSavedSheets +
             "<calcPr fullCalcOnLoad=\"1\"/>"},
        {"every kind, scrambled: what the schema does not name after the child it followed, what is the model's left out",
         "<extLst><ext uri=\"{u}\"><x15:workbookPr xmlns:x15=\"urn:x15\" date1904=\"1\" chartTrackingRefBase=\"1\"/></ext></extLst>"
         "<calcPr calcId=\"191029\" fullCalcOnLoad=\"0\"/><fileRecoveryPr autoRecover=\"0\"/>"
         "<bookViews><workbookView xWindow=\"1\" activeTab=\"0\"/><workbookView activeTab=\"1\"/></bookViews>" + kSheets +
             "<pivotCaches><pivotCache cacheId=\"3\" r:id=\"rId7\"/></pivotCaches>"
             "<definedNames><definedName name=\"n\">1</definedName></definedNames>"
             "<externalReferences><externalReference r:id=\"rId8\"/></externalReferences>"
             "<workbookPr date1904=\"1\" codeName=\"W\"/><fileVersion appName=\"xl\"/><fileRecoveryPr repairLoad=\"1\"/>"
             "<revisionPtr documentId=\"d\"/><workbookPr date1904=\"1\"/>"
             "<smartTagTypes><definedName name=\"m\">2</definedName></smartTagTypes>",
         "<fileVersion appName=\"xl\"/><workbookPr codeName=\"W\"/>"
         "<bookViews><workbookView xWindow=\"1\" activeTab=\"1\"/><workbookView activeTab=\"1\"/></bookViews>" +
             kSavedSheets + "<externalReferences><externalReference r:id=\"rId8\"/></externalReferences>"
             "<definedNames><definedName name=\"n\">1</definedName><definedName name=\"m\">2</definedName></definedNames>"
             "<calcPr calcId=\"191029\" fullCalcOnLoad=\"1\"/><pivotCaches><pivotCache cacheId=\"3\" r:id=\"rId7\"/></pivotCaches>"
             "<fileRecoveryPr autoRecover=\"0\"/><fileRecoveryPr repairLoad=\"1\"/><revisionPtr documentId=\"d\"/>"
             "<extLst><ext uri=\"{u}\"><x15:workbookPr xmlns:x15=\"urn:x15\" chartTrackingRefBase=\"1\"/></ext></extLst>"},
    };
    for (const Case& c : cases) {
        Package p;
        p.sheet("A", "<sheetData/>").sheet("B", "<sheetData/>");
        p.set("xl/workbook.xml", workbook_part(c.source));
        auto wb = test::open_package(p);
        ASSERT_TRUE(wb) << c.name << ": " << wb.error().display();
        auto saved = writer::write_workbook_xml(*wb, writer::plan_workbook_part(*wb, true));
        ASSERT_TRUE(saved) << c.name;
        EXPECT_EQ(*saved, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>" + workbook_part(c.saved)) << c.name;
    }
}

// Children the schema does not name (alternate content, revision information, other namespaces)
// go back after the child they followed; the root declares and marks ignorable again the
// namespaces of the source's ignorable list that the kept children use, even where a child left
// out uses one too.
TEST(WorkbookCarried, UnnamedChildrenAndIgnorableNamespaces) {
    const std::string mc = " xmlns:mc=\"" + std::string(kMc) + "\"";
    const std::string choice = "<mc:Choice Requires=\"x15\"><workbookPr date1904=\"1\"/></mc:Choice></mc:AlternateContent>";
    const struct {
        const char* name;
        std::string root, source;  // the source's root attributes (after "r") and children
        std::string saved_root, saved;
    } cases[] = {
        {"first, after the sheets, under any prefix (one the root binds itself renamed); what holds a name or "
         "cannot be kept left out",
         " xmlns:m=\"" + std::string(kMc) + "\" m:Ignorable=\" a  b\tc r mc d \" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" "
         "xmlns:c=\"urn:a\" xmlns:d=\"urn:d\" xmlns:mc=\"urn:not\"",
         "<f:first xmlns:f=\"urn:f\"/><workbookPr b:x=\"1\"/><q:thing xmlns:q=\"urn:a\">t</q:thing>" + kSheets +
             "<c:other/><d:gone><definedName name=\"z\">1</definedName></d:gone><c:also><e:unbound/></c:also><mc:x/>"
             "<c:twice v=\"1\" v=\"2\"/><c:note><!-- a -- b --></c:note>",
         mc + " mc:Ignorable=\"a b ns1\" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" xmlns:ns1=\"urn:not\"",
         "<f:first xmlns:f=\"urn:f\"/><workbookPr xmlns:b=\"urn:b\" b:x=\"1\"/><q:thing xmlns:q=\"urn:a\">t</q:thing>"
         "<bookViews><workbookView activeTab=\"0\"/></bookViews>" + kSavedSheets +
             "<c:other xmlns:c=\"urn:a\"/><mc:x xmlns:mc=\"urn:not\"/>"
             "<definedNames><definedName name=\"z\">1</definedName></definedNames>"},
        {"no list, or one that does not decode: nothing marked; a 1904 setting taken out wherever it stands",
         mc + " mc:Ignorable=\"&bogus;\" xmlns:xr=\"urn:xr\" xmlns:x15=\"urn:x15\"",
         "<xr:revisionPtr documentId=\"d\"/><mc:AlternateContent" + mc + ">" + choice + kSheets, "",
         "<xr:revisionPtr xmlns:xr=\"urn:xr\" documentId=\"d\"/><mc:AlternateContent xmlns:x15=\"urn:x15\"" + mc + ">" +
             choice.substr(0, choice.find("<workbookPr")) + "<workbookPr/></mc:Choice></mc:AlternateContent>"
             "<bookViews><workbookView activeTab=\"0\"/></bookViews>" + kSavedSheets},
        {"a defined name kept as written, with an attribute and a child from listed namespaces, keeps them ignorable",
         mc + " mc:Ignorable=\"x15 xr u\" xmlns:x15=\"urn:x15\" xmlns:xr=\"urn:xr\" xmlns:u=\"urn:u\"",
         kSheets + "<definedNames><definedName name=\"n\" x15:flag=\"1\">1</definedName>"
                   "<definedName name=\"m\" function=\"1\"><xr:t/>2</definedName><definedName name=\"p\">3</definedName>"
                   "</definedNames>",
         mc + " mc:Ignorable=\"x15 xr\" xmlns:x15=\"urn:x15\" xmlns:xr=\"urn:xr\"",
         "<bookViews><workbookView activeTab=\"0\"/></bookViews>" + kSavedSheets +
             "<definedNames><definedName name=\"p\">3</definedName>"
             "<definedName xmlns:x15=\"urn:x15\" name=\"n\" x15:flag=\"1\">1</definedName>"
             "<definedName xmlns:xr=\"urn:xr\" name=\"m\" function=\"1\"><xr:t/>2</definedName></definedNames>"},
    };
    for (const auto& c : cases) {
        Package p;
        p.sheet("A", "<sheetData/>").sheet("B", "<sheetData/>");
        p.set("xl/workbook.xml", workbook_part(c.source, c.root));
        auto wb = test::open_package(p);
        ASSERT_TRUE(wb) << c.name << ": " << wb.error().display();
        auto saved = writer::write_workbook_xml(*wb, writer::plan_workbook_part(*wb, true));
        ASSERT_TRUE(saved) << c.name;
        EXPECT_EQ(*saved, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>" + workbook_part(c.saved, c.saved_root))
            << c.name;
        // A new workbook has none of it.
        EXPECT_EQ(writer::write_workbook_xml(*wb, writer::plan_workbook_part(*wb, false))->find("mc:"), std::string::npos);
    }
}

TEST(WorkbookCarried, HandedOutIdsAvoidTheKeptOnes) {
    const char* types[] = {"theme", "worksheet", "styles", "sharedStrings", "calcChain", "vbaProject"};
    std::mt19937 rng(14);
    for (int round = 0; round < 200; ++round) {
        Workbook wb = Workbook::make_new();
        wb.sheets.resize(1 + rng() % 4);
        for (unsigned i = rng() % 8; i > 0; --i) {
            const std::string id = rng() % 4 ? "rId" + std::to_string(1 + rng() % 10) : "x";
            wb.workbook_relationships.push_back({id, rel_type(types[rng() % 6]), std::to_string(i), std::nullopt});
        }
        const auto plan = writer::plan_workbook_part(wb, true);
        std::vector<SheetRelEntry> kept;  // the theme and VBA relationships, first of each id
        for (const auto& e : wb.workbook_relationships)
            if ((e.rel_type.ends_with("theme") || e.rel_type.ends_with("vbaProject")) &&
                std::none_of(kept.begin(), kept.end(), [&](const auto& k) { return k.id == e.id; }))
                kept.push_back(e);
        EXPECT_EQ(plan.kept_rels, kept);
        std::set<std::string> ids{plan.styles_id, plan.shared_strings_id};
        ids.insert(plan.sheet_ids.begin(), plan.sheet_ids.end());
        for (const auto& e : kept) ids.insert(e.id);
        EXPECT_EQ(ids.size(), 2 + wb.sheets.size() + kept.size()) << "round " << round;
    }
}

TEST(WorkbookCarried, ThousandsOfPrefixesInAKeptChildCostNoMoreThanTheirNumber) {
    // 20000 prefixes declared on the root and used inside a kept child; as many declared inside one.
    std::string decls, used, inner_decls, inner_used;
    for (int i = 0; i < 20000; ++i) {
        const std::string n = std::to_string(i);
        decls += " xmlns:q" + n + "=\"urn:" + n + "\"";
        used += "<q" + n + ":x/>";
        inner_decls += " xmlns:k" + n + "=\"urn:k\"";
        inner_used += "<k" + n + ":x/>";
    }
    std::string part = workbook_part(kSheets + "<extLst><ext uri=\"a\">" + used + "</ext><ext uri=\"b\"><w" +
                                     inner_decls + ">" + inner_used + "</w></ext></extLst>");
    Package p;
    p.sheet("A", "<sheetData/>").sheet("B", "<sheetData/>");
    const auto start = std::chrono::steady_clock::now();
    auto wb = test::open_package(p.set("xl/workbook.xml", part.insert(part.find(" xmlns:r"), decls)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, test::time_budget(std::chrono::seconds(5)));
    ASSERT_TRUE(wb) << wb.error().display();
    ASSERT_EQ(wb->workbook_elements.size(), 1u);
    const std::string& ext = wb->workbook_elements[0].xml;
    EXPECT_EQ(ext.find("xmlns:q19999=\"urn:19999\""), ext.rfind("xmlns:q19999="));  // carried once
    EXPECT_EQ(ext.find("xmlns:k0=\"urn:k\""), ext.rfind("xmlns:k0="));             // declared inside
}

// A macro-enabled package as a spreadsheet application leaves it: theme, VBA project, a pivot
// cache named from the workbook part, and a calculation chain.
TEST(WorkbookCarried, SaveKeepsTheVbaProjectAndPivotCacheAndDropsTheCalculationChain) {
    const std::string macro_main = "application/vnd.ms-excel.sheet.macroEnabled.main+xml";
    const std::string vba = std::string("\xd0\xcf\x11\xe0 macros", 11);
    const std::string kept = relationship("rId2", rel_type("theme"), "theme/theme1.xml") +
                             relationship("rId3", rel_type("pivotCacheDefinition"), "pivotCache/def1.xml") +
                             relationship("rId4", "http://schemas.microsoft.com/office/2006/relationships/vbaProject",
                                          "vbaProject.bin");
    Package p;
    p.sheet("A", "<sheetData/>");
    p.set("xl/workbook.xml", workbook_part("<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/></sheets>"
                                           "<pivotCaches><pivotCache cacheId=\"1\" r:id=\"rId3\"/></pivotCaches>"));
    p.set("xl/_rels/workbook.xml.rels",
          relationships(relationship("rId1", rel_type("worksheet"), "worksheets/sheet1.xml") + kept +
                        relationship("rId5", rel_type("calcChain"), "calcChain.xml") +
                        relationship("rId6", rel_type("styles"), "styles.xml")));
    p.set("xl/vbaProject.bin", vba);
    p.set("xl/calcChain.xml", "<calcChain/>");
    p.set("[Content_Types].xml",
          "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
          "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.vbaProject\"/>"
          "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" + macro_main + "\"/>"
          "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"c\"/></Types>");
    test::TempDir dir("velmo-carried");
    test::write_file(dir.file("src.xlsm"), p.build());

    for (const bool edited : {false, true}) {
        auto wb = reader::open_workbook(dir.file("src.xlsm"));
        ASSERT_TRUE(wb) << wb.error().display();
        if (edited) wb->sheets[0].set_cell("A1", std::string("text"));
        test::StringOutput out;
        ASSERT_TRUE(writer::write_package(*wb, out, wb->source_path));
        auto saved = zip::ArchiveReader::open_memory(out.bytes);
        ASSERT_TRUE(saved);
        auto part = [&](std::string_view name) {
            const zip::Entry* e = saved->find(name);
            return e ? *saved->read(*e) : "<missing>";
        };
        EXPECT_EQ(part("xl/vbaProject.bin"), vba);
        EXPECT_EQ(saved->find("xl/calcChain.xml"), nullptr);
        // The new ids step around the kept ones; the calculation chain's and the old styles' are free.
        EXPECT_EQ(part("xl/_rels/workbook.xml.rels"),
                  relationships(relationship("rId1", rel_type("styles"), "styles.xml") +
                                relationship("rId5", rel_type("worksheet"), "worksheets/sheet1.xml") +
                                (edited ? relationship("rId6", rel_type("sharedStrings"), "sharedStrings.xml") : "") +
                                kept));
        EXPECT_NE(part("xl/workbook.xml").find("r:id=\"rId5\"/></sheets><pivotCaches><pivotCache cacheId=\"1\" r:id=\"rId3\"/>"),
                  std::string::npos);
        const std::string ct = part("[Content_Types].xml");
        EXPECT_NE(ct.find("<Override PartName=\"/xl/workbook.xml\" ContentType=\"" + macro_main + "\"/>"), std::string::npos);
        EXPECT_NE(ct.find("application/vnd.ms-office.vbaProject"), std::string::npos);
        EXPECT_EQ(ct.find("calcChain"), std::string::npos) << ct;
    }
}

}  // namespace
