// Packages built to hurt the reader: compression bombs, lying directories, entity tricks, deep
// nesting and absurd counts. Each must be refused with a clear error, or read sanely, in bounded
// memory and without crashing. The heavy cases run in a forked child whose peak memory is measured.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>

#include "reader/comments_reader.hpp"
#include "reader/defined_names_reader.hpp"
#include "reader/reader.hpp"
#include "reader/shared_strings.hpp"
#include "reader/sheet.hpp"
#include "reader/styles.hpp"
#include "reader/table_reader.hpp"
#include "reader/workbook_elements.hpp"
#include "xml/tokenizer.hpp"
#include "support/child_process.hpp"
#include "support/deflate_stream.hpp"
#include "support/package_builder.hpp"
#include "support/time_budget.hpp"
#include "support/zip_builder.hpp"
#include "zip/archive_reader.hpp"

using namespace velmo;
namespace fs = std::filesystem;

namespace {

// Far below any of the bombs below, far above what reading a small package takes (sanitizer
// builds included).
constexpr std::uint64_t kMemoryBound = 400ull << 20;

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = fs::temp_directory_path() / "velmo-hostile-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(std::string_view bytes, const std::string& name = "book.xlsx") {
        const std::string path = dir_ + "/" + name;
        test::write_file(path, bytes);
        return path;
    }

    std::string dir_;
};

// The parts every package needs, deflated, plus one worksheet.
void add_minimal_parts(test::ZipBuilder& b, std::string_view sheet_body = "<sheetData/>") {
    test::Package p;
    p.sheet("S", sheet_body);
    b.deflated("[Content_Types].xml", test::content_types_xml());
    b.deflated("xl/workbook.xml", p.workbook_xml());
    b.deflated("xl/_rels/workbook.xml.rels", p.workbook_rels_xml());
    b.deflated("xl/styles.xml", test::default_styles());
    b.deflated("xl/worksheets/sheet1.xml", test::worksheet(sheet_body));
}

bool mentions(const VelmoError& e, std::string_view text) { return e.display().find(text) != std::string::npos; }

// ---- compression bombs ----

TEST_F(HostileInput, EntryInflatingFarPastItsDeclaredSizeIsRefusedInBoundedMemory) {
    // 1 GiB of zeros in about 6.5 MB, declared as 4 KiB.
    const std::uint64_t matches = (1ull << 30) / 258;
    test::ZipBuilder b;
    add_minimal_parts(b);
    auto& bomb = b.raw("xl/sharedStrings.xml", test::deflate_zeros(matches), zip::kMethodDeflate);
    bomb.uncompressed_size = 4096;
    const std::string path = write(b.build());

    const auto child = test::run_in_child([&] {
        auto archive = zip::ArchiveReader::open(path);
        if (!archive) return 10;
        auto content = archive->read(*archive->find("xl/sharedStrings.xml"));
        if (content || !mentions(content.error(), "inflates past its declared size")) return 11;
        auto wb = reader::open_workbook(path);
        if (wb || wb.error().kind != ErrorKind::Zip) return 12;
        if (!mentions(wb.error(), "xl/sharedStrings.xml: entry inflates past its declared size")) return 13;
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
}

TEST_F(HostileInput, HonestEntryBeyondTheSizeCapIsRefusedBeforeInflating) {
    // Just over 3 GiB of zeros, truthfully declared with its CRC, in about 21 MB.
    const std::uint64_t matches = zip::kMaxEntrySize / 258 + 1;
    const std::uint64_t size = test::deflate_zeros_size(matches);
    ASSERT_GT(size, zip::kMaxEntrySize);
    test::ZipBuilder b;
    add_minimal_parts(b);
    auto& big = b.raw("xl/sharedStrings.xml", test::deflate_zeros(matches), zip::kMethodDeflate);
    big.uncompressed_size = size;
    big.crc32 = test::crc32_of_zeros(size);
    const std::string path = write(b.build());

    const auto child = test::run_in_child([&] {
        auto archive = zip::ArchiveReader::open(path);
        if (!archive) return 10;
        const auto start = std::chrono::steady_clock::now();
        auto content = archive->read(*archive->find("xl/sharedStrings.xml"));
        if (content || !mentions(content.error(), "exceeds the limit of 3221225472 bytes")) return 11;
        // Inflating 3 GiB takes seconds; refusing by the declared size takes nothing.
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500)) return 12;
        auto wb = reader::open_workbook(path);
        if (wb || wb.error().kind != ErrorKind::Zip || !mentions(wb.error(), "exceeds the limit")) return 13;
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
}

TEST_F(HostileInput, RequiredPartThatIsABombIsReportedMissing) {
    test::ZipBuilder b;
    test::Package p;
    p.sheet("S", "<sheetData/>");
    b.deflated("[Content_Types].xml", test::content_types_xml());
    b.deflated("xl/workbook.xml", p.workbook_xml());
    b.deflated("xl/_rels/workbook.xml.rels", p.workbook_rels_xml());
    b.deflated("xl/styles.xml", test::default_styles());
    b.raw("xl/worksheets/sheet1.xml", test::deflate_zeros((256u << 20) / 258), zip::kMethodDeflate).uncompressed_size = 100;
    const std::string path = write(b.build());

    const auto child = test::run_in_child([&] {
        auto wb = reader::open_workbook(path);
        if (wb || wb.error().kind != ErrorKind::MissingPart || wb.error().message != "xl/worksheets/sheet1.xml") return 1;
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
}

TEST_F(HostileInput, DeclaredSizeBeyondWhatTheCompressedBytesCanHoldIsRefused) {
    // A 10-byte stream cannot inflate to a gigabyte: refusing it keeps the reader from allocating
    // for a lie.
    test::ZipBuilder b;
    add_minimal_parts(b);
    auto& e = b.deflated("xl/sharedStrings.xml", "<sst/>");
    e.uncompressed_size = 1ull << 30;
    auto archive = zip::ArchiveReader::open_memory(b.build());
    ASSERT_TRUE(archive.has_value());
    auto content = archive->read(*archive->find("xl/sharedStrings.xml"));
    ASSERT_FALSE(content.has_value());
    EXPECT_TRUE(mentions(content.error(), "compressed bytes can hold")) << content.error().display();
}

// ---- lying central directories ----

TEST_F(HostileInput, DirectoryCountsAndOffsetsOutsideTheFileAreRefused) {
    struct Case {
        const char* what;
        std::function<void(test::ZipBuilder&)> damage;
    };
    const std::vector<Case> cases = {
        {"directory offset past the end", [](test::ZipBuilder& b) { b.end().directory_offset = 1u << 30; }},
        {"directory size past the end", [](test::ZipBuilder& b) { b.end().directory_size = 0xFFFFFF00u; }},
        {"more entries than the directory holds", [](test::ZipBuilder& b) { b.end().entry_count = 0xFFFF; }},
        {"local header past the directory", [](test::ZipBuilder& b) { b.entry(1).local_header_offset = 0x7FFFFFF0u; }},
        {"ZIP64 counts in the billions",
         [](test::ZipBuilder& b) {
             b.end().zip64 = true;
             b.end().entry_count = 4'000'000'000ull;
         }},
        {"ZIP64 record past the end",
         [](test::ZipBuilder& b) {
             b.end().zip64 = true;
             b.end().zip64_record_offset = 1ull << 40;
         }},
        {"ZIP64 offset in the exabytes",
         [](test::ZipBuilder& b) {
             b.entry(0).zip64 = true;
             b.entry(0).local_header_offset = 1ull << 60;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ZipBuilder b;
        add_minimal_parts(b);
        c.damage(b);
        const std::string bytes = b.build();
        auto archive = zip::ArchiveReader::open_memory(bytes);
        ASSERT_FALSE(archive.has_value());
        EXPECT_EQ(archive.error().kind, ErrorKind::InvalidFormat);
        EXPECT_TRUE(mentions(archive.error(), "invalid Zip archive: ")) << archive.error().display();
        auto wb = reader::open_workbook(write(bytes));
        ASSERT_FALSE(wb.has_value());
        EXPECT_EQ(wb.error().kind, ErrorKind::InvalidFormat);
    }
}

TEST_F(HostileInput, OverlappingEntriesAreRefused) {
    // The overlapping-file bomb: many directory entries naming one local header.
    {
        test::ZipBuilder b;
        add_minimal_parts(b);
        test::ZipBuilder::Layout layout;
        b.build(&layout);
        for (int i = 0; i < 100; ++i)
            b.deflated("copy" + std::to_string(i), "").local_header_offset = layout.local_header_offsets[3];
        auto archive = zip::ArchiveReader::open_memory(b.build());
        ASSERT_FALSE(archive.has_value());
        EXPECT_TRUE(mentions(archive.error(), "entries overlap")) << archive.error().display();
    }
    // An entry whose data runs into the next entry's header.
    {
        test::ZipBuilder b;
        add_minimal_parts(b);
        b.entry(0).compressed_size += 40;
        auto archive = zip::ArchiveReader::open_memory(b.build());
        ASSERT_TRUE(archive.has_value());
        auto content = archive->read(archive->entries()[0]);
        ASSERT_FALSE(content.has_value());
        EXPECT_TRUE(mentions(content.error(), "entry data out of bounds")) << content.error().display();
        EXPECT_FALSE(archive->read_raw(archive->entries()[0]).has_value());
    }
    // A directory entry pointing into the middle of another entry's data.
    {
        test::ZipBuilder b;
        add_minimal_parts(b);
        test::ZipBuilder::Layout layout;
        b.build(&layout);
        b.entry(2).local_header_offset = layout.local_header_offsets[1] + 40;
        auto archive = zip::ArchiveReader::open_memory(b.build());
        if (archive) {
            EXPECT_FALSE(archive->read(archive->entries()[1]).has_value());
            EXPECT_FALSE(archive->read(archive->entries()[2]).has_value());
        }
    }
}

// ---- XML tricks ----

std::string nested_entities_doctype() {
    // Ten levels of ten references each: 10^10 bytes if anything expanded it.
    std::string dtd = "<!DOCTYPE sst [<!ENTITY e0 \"lol\">";
    for (int i = 1; i <= 10; ++i) {
        dtd += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) dtd += "&e" + std::to_string(i - 1) + ";";
        dtd += "\">";
    }
    return dtd + "<!ENTITY ext SYSTEM \"file:///etc/passwd\">]>";
}

TEST_F(HostileInput, DoctypeEntitiesAreNeverExpanded) {
    const std::string dtd = nested_entities_doctype();
    // Declared but unused: the document reads as if the declaration were absent.
    {
        auto sst = reader::parse_shared_strings(dtd + "<sst><si><t>plain</t></si></sst>");
        ASSERT_TRUE(sst.has_value()) << sst.error().display();
        ASSERT_EQ(sst->size(), 1u);
        EXPECT_EQ(sst->items[0], "plain");
    }
    // Used, in text or in an attribute: an XML error, nothing expanded or fetched.
    const std::vector<std::string> uses = {"<sst><si><t>&e10;</t></si></sst>", "<sst><si><t>&ext;</t></si></sst>",
                                           "<sst uniqueCount=\"&e10;\"><si><t>x</t></si></sst>"};
    for (const auto& body : uses) {
        SCOPED_TRACE(body);
        const std::string path = write(test::deflated_zip({}), "unused.xlsx");  // keeps dir_ alive
        (void)path;
        const auto child = test::run_in_child([&] {
            auto sst = reader::parse_shared_strings(dtd + body);
            return !sst && sst.error().kind == ErrorKind::Xml ? 0 : 1;
        });
        EXPECT_TRUE(child.exited_with(0)) << child.describe();
        EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
    }
    // The same through a whole package: the load fails with the XML error.
    test::Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>&e10;</t></is></c></row></sheetData>");
    std::string sheet = test::worksheet(
        "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>&e10;</t></is></c></row></sheetData>");
    sheet.insert(sheet.find("<worksheet"), dtd);
    p.set("xl/worksheets/sheet1.xml", sheet);
    auto wb = reader::open_workbook(write(p.build()));
    ASSERT_FALSE(wb.has_value());
    EXPECT_EQ(wb.error().kind, ErrorKind::Xml);
}

std::string nested(std::string_view open, std::string_view close, std::size_t depth) {
    std::string s;
    s.reserve((open.size() + close.size()) * depth);
    for (std::size_t i = 0; i < depth; ++i) s += open;
    for (std::size_t i = 0; i < depth; ++i) s += close;
    return s;
}

TEST_F(HostileInput, ElementsNestedAMillionDeepNeitherRecurseNorOverflow) {
    constexpr std::size_t kDepth = 1'000'000;
    const std::string deep = nested("<x>", "</x>", kDepth);
    const std::string deep_unclosed = nested("<x>", "", kDepth);
    const std::string ok_cell = "<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>";

    const auto child = test::run_in_child([&] {
        const reader::SharedStrings strings;
        auto styles = std::make_shared<const StyleSheet>();
        const std::vector<std::optional<TemporalKind>> kinds;
        auto sheet = [&](const std::string& body) {
            return reader::parse_sheet(test::worksheet(body), strings, styles, kinds, false);
        };
        // Unknown elements around and inside the cell data, in a value, in an inline string,
        // in a conditional formatting rule whose children are kept.
        auto a = sheet("<sheetData>" + ok_cell + deep + "</sheetData>");
        if (!a || a->worksheet.cells().size() != 1) return 10;
        auto b = sheet("<sheetData><row r=\"1\"><c r=\"A1\"><v>" + deep + "2</v></c></row></sheetData>");
        if (!b) return 11;
        auto c = sheet("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is>" + deep + "</is></c></row></sheetData>");
        if (!c) return 12;
        auto d = sheet("<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" priority=\"1\">" + deep +
                       "</cfRule></conditionalFormatting>");
        if (!d) return 13;
        // Never closed: a clean XML error.
        auto e = sheet("<sheetData>" + deep_unclosed);
        if (e || e.error().kind != ErrorKind::Xml) return 14;

        // The other part readers.
        if (!reader::parse_shared_strings("<sst><si>" + deep + "<t>a</t></si></sst>")) return 20;
        if (!reader::parse_styles("<styleSheet><fonts><font>" + deep + "</font></fonts></styleSheet>")) return 21;
        if (!reader::parse_comments_xml("<comments><commentList><comment ref=\"A1\"><text>" + deep +
                                        "</text></comment></commentList></comments>"))
            return 22;
        if (!reader::parse_table_xml("<table ref=\"A1:B2\">" + deep + "</table>")) return 23;
        if (!reader::parse_workbook_defined_names("<workbook><definedNames><definedName name=\"n\">" + deep +
                                                  "</definedName><definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">" +
                                                  deep + "S!$A$1</definedName></definedNames></workbook>",
                                                  1))
            return 24;

        // Through the tokenizer alone, with the unclosed tail reported as such.
        xml::Tokenizer tok(deep_unclosed, {.trim_text = true, .allow_unclosed_at_eof = true});
        xml::Event ev;
        while (tok.next(ev)) {
        }
        if (!tok.ok() || tok.depth() != kDepth) return 30;
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
}

// ---- indexes and counts out of range ----

TEST_F(HostileInput, OutOfRangeIndexesAreDroppedNotFollowed) {
    test::Package p;
    p.set("xl/sharedStrings.xml", "<sst><si><t>only</t></si></sst>");
    p.sheet("S",
            "<sheetData><row r=\"1\">"
            "<c r=\"A1\" t=\"s\"><v>0</v></c>"
            "<c r=\"B1\" t=\"s\"><v>1</v></c>"
            "<c r=\"C1\" t=\"s\"><v>18446744073709551615</v></c>"
            "<c r=\"D1\" t=\"s\"><v>18446744073709551616</v></c>"
            "<c r=\"E1\" s=\"999\"><v>45000</v></c>"
            "<c r=\"F1\" s=\"4294967296\"><v>1</v></c>"
            "</row></sheetData>"
            "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"7\" priority=\"1\"><formula>1</formula>"
            "</cfRule><cfRule type=\"expression\" dxfId=\"4294967295\" priority=\"2\"><formula>1</formula></cfRule>"
            "</conditionalFormatting>");
    auto wb = reader::open_workbook(write(p.build()));
    ASSERT_TRUE(wb.has_value()) << wb.error().display();
    const Worksheet& ws = wb->sheets.at(0);
    auto value = [&](std::string_view key) -> const Value& { return ws.find_cell(key)->value; };
    EXPECT_EQ(std::get<Text>(value("A1")), "only");
    EXPECT_TRUE(is_empty(value("B1")));
    EXPECT_TRUE(is_empty(value("C1")));
    EXPECT_TRUE(is_empty(value("D1")));
    // A style index past the cell formats is kept as read; it names no date format, so the serial
    // stays a number, and the style sheet answers "no kind" for it.
    const Cell* e1 = ws.find_cell("E1");
    EXPECT_EQ(e1->style_index, 999u);
    EXPECT_EQ(std::get<double>(e1->value), 45000.0);
    EXPECT_FALSE(e1->stylesheet->temporal_kind(e1->style_index).has_value());
    EXPECT_FALSE(e1->stylesheet->temporal_kind(UINT64_MAX).has_value());
    ASSERT_EQ(ws.conditional_formatting.size(), 1u);
    for (const auto& rule : ws.conditional_formatting[0].rules) EXPECT_FALSE(rule.dxf.has_value());

    // A comment's authorId past the author list gives no author; a bad one counts as 0.
    auto comments = reader::parse_comments_xml(
        "<comments><authors><author>Ann</author></authors><commentList>"
        "<comment ref=\"A1\" authorId=\"5\"><text><t>a</t></text></comment>"
        "<comment ref=\"A2\" authorId=\"99999999999999999999\"><text><t>b</t></text></comment>"
        "<comment ref=\"A3\" authorId=\"-1\"><text><t>c</t></text></comment></commentList></comments>");
    ASSERT_TRUE(comments.has_value()) << comments.error().display();
    EXPECT_EQ(comments->at("A1").author, "");
    EXPECT_EQ(comments->at("A1").text, "a");
    EXPECT_EQ(comments->at("A2").author, "Ann");
    EXPECT_EQ(comments->at("A3").author, "Ann");
}

TEST_F(HostileInput, CountsInTheBillionsAllocateNothingForThem) {
    const auto child = test::run_in_child([&] {
        // uniqueCount sizes the list in advance; the part itself bounds that.
        auto sst = reader::parse_shared_strings("<sst uniqueCount=\"18446744073709551615\"><si><t>a</t></si></sst>");
        if (!sst || sst->size() != 1) return 10;
        auto sst2 = reader::parse_shared_strings("<sst uniqueCount=\"4000000000\"/>");
        if (!sst2 || sst2->size() != 0) return 11;

        // A column span in the billions stops at the last column of the grid.
        test::Package p;
        p.sheet("S",
                "<cols><col min=\"1\" max=\"4000000000\" width=\"9\"/><col min=\"4000000000\" max=\"4294967295\" width=\"3\"/>"
                "</cols><dimension ref=\"A1:XFD1048576\"/><sheetData><row r=\"4294967295\" spans=\"1:4000000000\">"
                "<c r=\"A1048576\"><v>1</v></c></row></sheetData>"
                "<mergeCells count=\"4000000000\"><mergeCell ref=\"A1:XFD1048576\"/></mergeCells>");
        p.set("xl/styles.xml",
              "<styleSheet><fonts count=\"4000000000\"/><fills count=\"4000000000\"/><cellXfs count=\"4000000000\">"
              "<xf fontId=\"4000000000\" fillId=\"4000000000\" numFmtId=\"4000000000\"/></cellXfs></styleSheet>");
        auto wb = reader::open_workbook_memory(p.build());
        if (!wb) return 12;
        const Worksheet& ws = wb->sheets.at(0);
        if (ws.column_widths.size() != 16384) return 13;
        if (ws.column_widths.count(16385) != 0) return 14;
        (void)ws.used_range();
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);
}

// ---- work out of proportion to the input ----

using ParsedSheetResult = Result<reader::ParsedSheet>;
ParsedSheetResult parse_plain_sheet(const std::string& part);

TEST_F(HostileInput, ItemsKeptUnderARootOfThousandsOfPrefixesCostNoMoreThanTheirNumber) {
    // Each note and string item below takes the careful capture (its own attribute is prefixed),
    // which used to copy every binding of the root once per item.
    constexpr int kN = 20000;
    std::string decls, notes, items;
    for (int i = 0; i < kN; ++i) {
        const std::string n = std::to_string(i);
        decls += " xmlns:q" + n + "=\"urn:" + n + "\"";
        notes += "<comment ref=\"A" + std::to_string(i + 1) + "\"><text xml:lang=\"en\"><r><t>" + n + "</t></r></text></comment>";
        items += "<si xml:lang=\"en\"><r><t>" + n + "</t></r></si>";
    }
    const std::string main = " xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";
    const auto start = std::chrono::steady_clock::now();
    auto comments = reader::parse_comments_xml("<comments" + main + decls + "><commentList>" + notes + "</commentList></comments>");
    auto strings = reader::parse_shared_strings("<sst" + main + decls + ">" + items + "</sst>");
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(comments && strings);
    EXPECT_EQ(comments->at("A7").rich_text.view(), "<text xml:lang=\"en\"><r><t>6</t></r></text>");
    EXPECT_EQ(strings->rich.size(), static_cast<size_t>(kN));
    EXPECT_LT(took, test::time_budget(std::chrono::seconds(5)));
}

TEST_F(HostileInput, ThousandsOfAutoFiltersAmongKeptChildrenCostLittle) {
    // A later filter replaces an earlier one: each used to search every kept child before it.
    std::string body;
    for (int i = 0; i < 50000; ++i) body += "<autoFilter ref=\"A" + std::to_string(i + 1) + "\"/><extLst/>";
    const auto start = std::chrono::steady_clock::now();
    auto sheet = parse_plain_sheet(test::worksheet(body));
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(sheet.has_value()) << sheet.error().display();
    const auto& carried = sheet->worksheet.carried;
    EXPECT_EQ(std::count_if(carried.begin(), carried.end(), [](const auto& e) { return e.kind == SheetChild::AutoFilter; }), 1);
    EXPECT_EQ(sheet->worksheet.auto_filter, "A50000");
    EXPECT_LT(took, test::time_budget(std::chrono::seconds(5)));
}

// Alternatives among a root's children are looked through once before they are read: nested,
// each level looked through again would cost the square of their number.
TEST_F(HostileInput, NestedAlternativesAreLookedThroughOnce) {
    constexpr std::size_t kDepth = 200'000;
    const auto wrap = [&](std::string_view inside) {
        return nested("<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
                      "<mc:Fallback>" + std::string(inside),
                      "</mc:Fallback></mc:AlternateContent>", kDepth);
    };
    const auto start = std::chrono::steady_clock::now();
    auto sheet = parse_plain_sheet(test::worksheet(wrap("<sheetData/>")));
    ASSERT_TRUE(sheet.has_value()) << sheet.error().display();
    EXPECT_TRUE(sheet->worksheet.carried.empty());
    auto wb = reader::parse_workbook_elements("<workbook>" + wrap("<sheets/>") + "</workbook>");
    ASSERT_TRUE(wb.has_value()) << wb.error().display();
    EXPECT_TRUE(wb->elements.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, test::time_budget(std::chrono::seconds(3)));
}

TEST_F(HostileInput, RepeatedWholeGridColumnSpansCostLittle) {
    // Each element names all 16384 columns; 100000 of them compress to a few kilobytes. Widths
    // used to be stored column by column as each element was read: 1.6 billion map writes.
    std::string cols;
    for (int i = 0; i < 100000; ++i) cols += i % 2 ? "<col min=\"2\" max=\"16384\" width=\"2\"/>" : "<col min=\"1\" max=\"99999\" width=\"1\"/>";
    const std::string part = test::worksheet("<cols>" + cols + "</cols>");
    EXPECT_LT(test::deflate_raw(part).size(), 64u << 10);

    const auto start = std::chrono::steady_clock::now();
    auto sheet = parse_plain_sheet(part);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(sheet.has_value()) << sheet.error().display();
    const auto& widths = sheet->worksheet.column_widths;
    EXPECT_EQ(widths.size(), 16384u);  // cut at the grid's last column
    EXPECT_EQ(widths.at(1), 1.0);
    EXPECT_EQ(widths.at(2), 2.0);
    EXPECT_EQ(widths.at(16384), 2.0);
    EXPECT_LT(took, test::time_budget(std::chrono::seconds(5)));
}

TEST_F(HostileInput, OverlappingColumnSpansLetTheLaterOneWin) {
    // Against the plain column-by-column reading, on random overlapping spans.
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::string cols;
        std::unordered_map<uint32_t, double> expected;
        const int n = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            uint32_t lo = 1 + rng() % 60, hi = 1 + rng() % 60;
            if (rng() % 8 == 0) hi = 4'000'000'000u;  // past the grid: cut at its last column
            const double w = 1 + rng() % 5;
            cols += "<col min=\"" + std::to_string(lo) + "\" max=\"" + std::to_string(hi) + "\" width=\"" +
                    std::to_string(static_cast<int>(w)) + "\"/>";
            for (uint64_t c = lo; c <= std::min<uint32_t>(hi, 16384); ++c) expected[static_cast<uint32_t>(c)] = w;
        }
        auto sheet = parse_plain_sheet(test::worksheet("<cols>" + cols + "</cols>"));
        ASSERT_TRUE(sheet.has_value());
        ASSERT_EQ(sheet->worksheet.column_widths, expected) << cols;
    }
}

TEST_F(HostileInput, ThousandsOfNamespaceDeclarationsDoNotSlowEveryLookUp) {
    // 20000 prefixes declared on the root, then hyperlinks and kept rule attributes whose
    // prefixed names must each be resolved: every look-up used to scan all declarations.
    std::string decls;
    for (int i = 0; i < 20000; ++i) decls += " xmlns:q" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
    std::string body = "<hyperlinks>";
    for (int i = 0; i < 20000; ++i) body += "<hyperlink ref=\"A1\" zz:id=\"x\" q" + std::to_string(i) + ":id=\"y\" location=\"a\"/>";
    body += "</hyperlinks>";
    for (int i = 0; i < 2000; ++i)
        body += "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" priority=\"1\" q" + std::to_string(i) +
                ":a=\"1\"><formula>1</formula><q" + std::to_string(i + 1) + ":x/></cfRule></conditionalFormatting>";
    // Within one rule: a kept element declaring thousands of prefixes its children use, one whose
    // children use thousands of the root's prefixes (each carried once), and a rule tag with
    // thousands of prefixed attributes.
    std::string inner_decls, inner_kids, outer_kids, rule_attrs;
    for (int i = 0; i < 20000; ++i) {
        const std::string n = std::to_string(i);
        inner_decls += " xmlns:k" + n + "=\"urn:k\"";
        inner_kids += "<k" + std::to_string(19999 - i) + ":x/>";
        // The rule declares the first half of the root's prefixes; the kept XML carries the rest.
        (i < 10000 ? rule_attrs : outer_kids) += i < 10000 ? " q" + n + ":b=\"1\"" : "<q" + n + ":y/><q" + n + ":z/>";
    }
    body += "<conditionalFormatting sqref=\"B1\"><cfRule type=\"expression\" priority=\"9\"" + rule_attrs + "><w" +
            inner_decls + ">" + inner_kids + "</w><v>" + outer_kids + "</v></cfRule></conditionalFormatting>";
    std::string part = test::worksheet(body);
    part.insert(part.find("<worksheet") + 10, decls);

    const auto start = std::chrono::steady_clock::now();
    auto sheet = parse_plain_sheet(part);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(sheet.has_value()) << sheet.error().display();
    EXPECT_EQ(sheet->hyperlinks.size(), 20000u);
    const auto& cf = sheet->worksheet.conditional_formatting;
    ASSERT_EQ(cf.size(), 2001u);
    // A kept child carries the declaration of its prefix along.
    EXPECT_NE(cf[5].rules.at(0).extra_children_xml.find("urn:6"), std::string::npos);
    const ConditionalRule& big = cf[2000].rules.at(0);
    EXPECT_EQ(big.extra_attributes.size(), 20000u);  // each attribute and the declaration of its prefix
    const std::string& kept = big.extra_children_xml;
    EXPECT_NE(kept.find("<v xmlns:q10000=\"urn:10000\""), std::string::npos) << kept.substr(0, 200);
    EXPECT_EQ(kept.find("xmlns:q19999="), kept.rfind("xmlns:q19999="));  // carried once
    EXPECT_EQ(kept.find("xmlns:q9999="), std::string::npos);  // the rule declares it
    EXPECT_LT(took, test::time_budget(std::chrono::seconds(5)));
}

// A worksheet with `n` hyperlinks whose relationships, `n` of them, are listed in reverse.
test::Package many_links_package(int n) {
    std::string links, rels;
    for (int i = 0; i < n; ++i) {
        links += "<hyperlink ref=\"A" + std::to_string(i + 1) + "\" r:id=\"rId" + std::to_string(n - i) + "\"/>";
        rels += test::relationship("rId" + std::to_string(i + 1), test::rel_type("hyperlink"),
                                   "https://example.com/" + std::to_string(i + 1), "External");
    }
    test::Package p;
    p.sheet("S", "<sheetData/><hyperlinks>" + links + "</hyperlinks>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels", test::relationships(rels));
    return p;
}

TEST_F(HostileInput, ManyLinksOverManyRelationshipsAndManyNamesLoadInLinearTime) {
    constexpr int kN = 30000;
    test::Package p = many_links_package(kN);
    std::string names;
    for (int i = 0; i < kN; ++i) {
        names += "<definedName name=\"n" + std::to_string(i) + "\">S!$A$1</definedName>";
        names += "<definedName name=\"m" + std::to_string(i) + "\" localSheetId=\"0\">S!$B$1</definedName>";
    }
    names += "<definedName name=\"n7\">S!$C$3</definedName>";  // a repeated name replaces the first in place
    p.workbook_head("<definedNames>" + names + "</definedNames>");
    const std::string bytes = p.build();

    const auto start = std::chrono::steady_clock::now();
    auto wb = reader::open_workbook_memory(bytes);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(wb.has_value()) << wb.error().display();
    const Worksheet& ws = wb->sheets.at(0);
    EXPECT_EQ(ws.find_cell("A1")->hyperlink()->target, "https://example.com/" + std::to_string(kN));
    EXPECT_EQ(ws.find_cell("A" + std::to_string(kN))->hyperlink()->target, "https://example.com/1");
    ASSERT_EQ(wb->defined_names.size(), static_cast<size_t>(kN));
    EXPECT_EQ(wb->defined_names.items()[7].name, "n7");
    EXPECT_EQ(wb->defined_names.find("n7")->value, "S!$C$3");
    EXPECT_EQ(ws.defined_names.size(), static_cast<size_t>(kN));
    EXPECT_LT(took, test::time_budget(std::chrono::seconds(10)));
}

TEST(DefinedNamesIndex, LookUpsFollowInsertsReplacementsAndRemovals) {
    DefinedNames names;
    for (const char* n : {"a", "b", "c", "d"}) names.insert(DefinedName::make(n, std::string(n) + "1"));
    names.insert(DefinedName::make("b", "b2"));
    EXPECT_EQ(names.names(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(names.find("b")->value, "b2");
    EXPECT_TRUE(names.remove("b"));
    EXPECT_FALSE(names.remove("b"));
    EXPECT_EQ(names.find("b"), nullptr);
    EXPECT_EQ(names.find("c")->value, "c1");
    EXPECT_EQ(names.find("d")->value, "d1");
    names.insert(DefinedName::make("b", "b3"));
    EXPECT_EQ(names.names(), (std::vector<std::string>{"a", "c", "d", "b"}));
    EXPECT_EQ(names.find("b")->value, "b3");
    const DefinedNames copy = names;
    EXPECT_EQ(copy.find("d")->value, "d1");
}

TEST_F(HostileInput, PartsNamedByManyRelationshipsAreReadOnce) {
    // 3000 relationships to one table part of 2 MB, which used to be parsed and kept 3000 times.
    std::string columns, rels;
    for (int i = 0; i < 30000; ++i)
        columns += "<tableColumn id=\"" + std::to_string(i + 1) + "\" name=\"column number " + std::to_string(i) + "\"/>";
    for (int i = 0; i < 3000; ++i)
        rels += test::relationship("t" + std::to_string(i), test::rel_type("table"), "../tables/table1.xml");
    rels += test::relationship("c1", test::rel_type("comments"), "../comments1.xml");
    test::Package p;
    p.sheet("One", "<sheetData/>");
    p.sheet("Two", "<sheetData/>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels", test::relationships(rels));
    p.set("xl/worksheets/_rels/sheet2.xml.rels", test::relationships(rels));
    p.set("xl/tables/table1.xml", "<table id=\"1\" name=\"T\" displayName=\"T\" ref=\"A1:B2\"><tableColumns>" + columns +
                                      "</tableColumns></table>");
    p.set("xl/comments1.xml",
          "<comments><authors><author>a</author></authors><commentList><comment ref=\"A1\" authorId=\"0\"><text><t>x</t>"
          "</text></comment></commentList></comments>");
    const std::string bytes = p.build();
    EXPECT_LT(bytes.size(), 1u << 20);

    const auto child = test::run_in_child([&] {
        auto wb = reader::open_workbook_memory(bytes);
        if (!wb) return 10;
        // The first sheet to name a part gets it; later names of it are skipped, as absent parts are.
        if (wb->sheets[0].tables.size() != 1 || !wb->sheets[1].tables.empty()) return 11;
        if (!wb->sheets[0].find_cell("A1") || wb->sheets[1].find_cell("A1")) return 12;
        return 0;
    });
    EXPECT_TRUE(child.exited_with(0)) << child.describe();
    EXPECT_LT(child.peak_rss_bytes, kMemoryBound);

    // Two sheets sharing one worksheet part: refused, whatever the part holds.
    test::Package shared;
    shared.sheet("One", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    shared.sheet("Two", "<sheetData/>");
    shared.set("xl/_rels/workbook.xml.rels",
               test::relationships(test::relationship("rId1", test::rel_type("worksheet"), "worksheets/sheet1.xml") +
                                   test::relationship("rId2", test::rel_type("worksheet"), "/xl/worksheets/sheet1.xml")));
    auto wb = reader::open_workbook_memory(shared.build());
    ASSERT_FALSE(wb.has_value());
    EXPECT_EQ(wb.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(wb.error().message, "worksheet part xl/worksheets/sheet1.xml belongs to more than one sheet");
}

ParsedSheetResult parse_plain_sheet(const std::string& part) {
    static const reader::SharedStrings strings;
    static const auto styles = std::make_shared<const StyleSheet>();
    static const std::vector<std::optional<TemporalKind>> kinds;
    return reader::parse_sheet(part, strings, styles, kinds, false);
}

// ---- inputs the fuzzers found ----

// Every file under tests/cpp/regressions/<target>/ goes through the reader its fuzz target
// drives. They once crashed or hung; now each must come back, with a value or an error.
TEST(FuzzRegressions, EverySavedInputIsHandled) {
    const fs::path root = fs::path(__FILE__).parent_path() / "regressions";
    std::error_code ec;
    if (!fs::is_directory(root, ec)) GTEST_SKIP() << "no regression inputs at " << root;
    const reader::SharedStrings strings{{"alpha", "", "gamma"}, {}};
    const auto styles = std::make_shared<const StyleSheet>();
    const std::vector<std::optional<TemporalKind>> kinds;
    std::size_t replayed = 0;
    for (const auto& dir : fs::directory_iterator(root)) {
        if (!dir.is_directory()) continue;
        const std::string target = dir.path().filename();
        for (const auto& file : fs::directory_iterator(dir.path())) {
            SCOPED_TRACE(file.path().string());
            std::ifstream in(file.path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const std::string_view body = bytes.empty() ? std::string_view{} : std::string_view(bytes).substr(1);
            if (target == "package" || target == "roundtrip") {
                (void)reader::open_workbook_memory(bytes);
            } else if (target == "zip_archive") {
                if (auto a = zip::ArchiveReader::open_memory(bytes))
                    for (const auto& e : a->entries()) (void)a->read(e);
            } else if (target == "sheet") {
                (void)reader::parse_sheet(body, strings, styles, kinds, false);
            } else if (target == "shared_strings") {
                (void)reader::parse_shared_strings(bytes);
            } else if (target == "styles") {
                (void)reader::parse_styles(bytes);
            } else if (target == "comments") {
                (void)reader::parse_comments_xml(bytes);
            } else if (target == "table") {
                (void)reader::parse_table_xml(bytes);
            } else if (target == "workbook") {
                (void)reader::parse_workbook_defined_names(bytes, 3);
            } else if (target == "xml_tokenizer") {
                xml::Tokenizer tok(body);
                xml::Event ev;
                while (tok.next(ev)) {
                }
            } else {
                continue;
            }
            ++replayed;
        }
    }
    RecordProperty("replayed", static_cast<int>(replayed));
}

}  // namespace
