// Cells bound to an XML map: what a part's entries are read as, how they follow the sheet's edits
// (or refuse them), and the part a save writes for them.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/workbook.hpp"
#include "reader/xml_cell_map_reader.hpp"
#include "writer/xml_cell_map_part.hpp"

using namespace velmo;

namespace {

const std::string kNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

std::string entry(int id, const std::string& r) {
    return "<singleXmlCell id=\"" + std::to_string(id) + "\" r=\"" + r + "\" connectionId=\"0\"><xmlCellPr id=\"1\" "
           "uniqueName=\"f" + std::to_string(id) + "\"><xmlPr mapId=\"1\" xpath=\"/r/f" + std::to_string(id) +
           "\" xmlDataType=\"string\"/></xmlCellPr></singleXmlCell>";
}

std::string part(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<singleXmlCells xmlns=\"" + kNs + "\">" +
           entries + "</singleXmlCells>";
}

std::optional<std::vector<std::string>> refs_read(const std::string& doc) {
    const auto cells = reader::parse_xml_cell_map(doc);
    if (!cells) return std::nullopt;
    std::vector<std::string> out;
    for (const MappedCell& c : *cells) {
        EXPECT_EQ(c.at, c.loaded);
        // The spans the save rewrites: the element, and the attribute's value inside it.
        const std::string element = doc.substr(c.begin, c.end - c.begin);
        EXPECT_TRUE(element.find("singleXmlCell") == 1 || element.find(":singleXmlCell") != std::string::npos) << element;
        EXPECT_TRUE(element.ends_with("/>") || element.ends_with("singleXmlCell>")) << element;
        EXPECT_TRUE(c.begin < c.ref_begin && c.ref_end < c.end);
        out.push_back(coords::rc_to_a1(c.loaded.row, c.loaded.col) + "=" + doc.substr(c.ref_begin, c.ref_end - c.ref_begin));
    }
    return out;
}

XmlCellMap map_of(const std::string& doc, XmlCellMap::Hold hold = XmlCellMap::Hold::Follows) {
    XmlCellMap map{"xl/tables/tableSingleCells1.xml", "rId1", hold, doc, {}};
    map.cells = *reader::parse_xml_cell_map(doc);
    return map;
}

}  // namespace

TEST(XmlCellMapReader, EntriesOrNothingUnlessThePartSaysPlainlyWhereItsCellsAre) {
    using Refs = std::vector<std::string>;
    const std::string strict = "http://purl.oclc.org/ooxml/spreadsheetml/main";
    const struct {
        const char* what;
        std::string doc;
        std::optional<Refs> expected;
    } cases[] = {
        {"plain", part(entry(1, "A2") + entry(2, "B2")), Refs{"A2=A2", "B2=B2"}},
        {"self-closing entries, white space between", part(" <singleXmlCell r=\"C3\"/>\n <singleXmlCell id=\"2\" r=\"XFD1048576\"/> "),
         Refs{"C3=C3", "XFD1048576=XFD1048576"}},
        {"prefixed, strict namespace", "<x:singleXmlCells xmlns:x=\"" + strict + "\"><x:singleXmlCell r=\"D4\"/></x:singleXmlCells>",
         Refs{"D4=D4"}},
        {"lower case and a reference, rewritten as written", part("<singleXmlCell r=\"b2\"/><singleXmlCell r=\"&#67;3\"/>"),
         Refs{"B2=b2", "C3=&#67;3"}},
        {"no entries", "<singleXmlCells xmlns=\"" + kNs + "\"/>", Refs{}},
        {"a prefixed r beside the plain one", part("<singleXmlCell x:r=\"Z9\" r=\"A1\" xmlns:x=\"urn:x\"/>"), Refs{"A1=A1"}},
        {"another root", "<singleXmlCellz xmlns=\"" + kNs + "\"><singleXmlCell r=\"A1\"/></singleXmlCellz>", std::nullopt},
        {"root in another namespace", "<singleXmlCells xmlns=\"urn:x\"><singleXmlCell r=\"A1\"/></singleXmlCells>", std::nullopt},
        {"root without a namespace", "<singleXmlCells><singleXmlCell r=\"A1\"/></singleXmlCells>", std::nullopt},
        {"an entry in another namespace", part("<singleXmlCell xmlns=\"urn:x\" r=\"A1\"/>"), std::nullopt},
        {"something else beside the entries", part(entry(1, "A1") + "<extLst/>"), std::nullopt},
        {"an alternative beside the entries",
         part("<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
              "<mc:Choice Requires=\"x\">" + entry(1, "A1") + "</mc:Choice></mc:AlternateContent>"),
         std::nullopt},
        {"no r", part("<singleXmlCell id=\"1\"/>"), std::nullopt},
        {"r twice", part("<singleXmlCell r=\"A1\" r=\"B1\"/>"), std::nullopt},
        {"r absolute", part(entry(1, "$A$1")), std::nullopt},
        {"r a range", part(entry(1, "A1:B2")), std::nullopt},
        {"r padded", part(entry(1, " A1")), std::nullopt},
        {"r row 0", part(entry(1, "A0")), std::nullopt},
        {"r past the last row", part(entry(1, "A1048577")), std::nullopt},
        {"r past the last column", part(entry(1, "XFE1")), std::nullopt},
        {"r with a bad reference", part(entry(1, "A&bogus;1")), std::nullopt},
        {"attributes that do not scan", part("<singleXmlCell r=A1/>"), std::nullopt},
        {"cut short", part(entry(1, "A1")).substr(0, 200), std::nullopt},
        {"text after the root", part(entry(1, "A1")) + "x", std::nullopt},
        {"not XML", "\xff\xfe<\0s\0", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(refs_read(c.doc), c.expected) << c.what;
}

// Entries at B2, C2 and D4 of a sheet; each edit, then the part a save writes (none: the map binds
// nothing any more and leaves the package).
TEST(XmlCellMapPart, EntriesFollowTheirCellsAndGoWithThem) {
    const std::string e1 = entry(1, "B2"), e2 = "<singleXmlCell id=\"2\" r=\"C2\"/>", e3 = entry(3, "D4");
    const std::string doc = part(e1 + "\n  " + e2 + "\n  " + e3);
    const auto with = [&](std::string text, const char* from, const char* to) {
        text.replace(text.find(std::string("r=\"") + from), 4 + std::string(from).size(), std::string("r=\"") + to + "\"");
        return text;
    };
    using Edit = std::function<Result<void>(Worksheet&)>;
    const struct {
        const char* what;
        Edit edit;
        std::optional<std::string> written;  // none: gone; the loaded text itself: copied as it was
    } cases[] = {
        {"rows inserted before", [](Worksheet& ws) { return ws.insert_rows(1, 2); },
         part(with(e1, "B2", "B4") + "\n  " + with(e2, "C2", "C4") + "\n  " + with(e3, "D4", "D6"))},
        {"rows inserted between", [](Worksheet& ws) { return ws.insert_rows(3, 1); },
         part(e1 + "\n  " + e2 + "\n  " + with(e3, "D4", "D5"))},
        {"rows inserted after", [](Worksheet& ws) { return ws.insert_rows(5, 9); }, doc},
        {"a mapped row deleted", [](Worksheet& ws) { return ws.delete_rows(2, 1); }, part("\n  \n  " + with(e3, "D4", "D3"))},
        {"every mapped row deleted", [](Worksheet& ws) { return ws.delete_rows(2, 3); }, std::nullopt},
        {"rows deleted after", [](Worksheet& ws) { return ws.delete_rows(5, 100); }, doc},
        {"columns inserted across", [](Worksheet& ws) { return ws.insert_cols(3, 1); },
         part(e1 + "\n  " + with(e2, "C2", "D2") + "\n  " + with(e3, "D4", "E4"))},
        {"a mapped column deleted", [](Worksheet& ws) { return ws.delete_cols(3, 1); },
         part(e1 + "\n  \n  " + with(e3, "D4", "C4"))},
        {"columns deleted before", [](Worksheet& ws) { return ws.delete_cols(1, 1); },
         part(with(e1, "B2", "A2") + "\n  " + with(e2, "C2", "B2") + "\n  " + with(e3, "D4", "C4"))},
        {"a block moved over a mapped cell", [](Worksheet& ws) { return ws.move_range("B2:C2", 2, 2, false); },
         part(with(e1, "B2", "D4") + "\n  " + with(e2, "C2", "E4") + "\n  ")},
        {"a block moved over itself", [](Worksheet& ws) { return ws.move_range("B2:D4", 1, 1, false); },
         part(with(e1, "B2", "C3") + "\n  " + with(e2, "C2", "D3") + "\n  " + with(e3, "D4", "E5"))},
        {"an empty block landing on one", [](Worksheet& ws) { return ws.move_range("A1", 1, 2, false); },
         part(e1 + "\n  \n  " + e3)},
        {"a move beside them", [](Worksheet& ws) { return ws.move_range("A1:A9", 0, 5, false); }, doc},
        {"a move there and back", [](Worksheet& ws) {
             if (auto r = ws.move_range("D4", 5, 0, false); !r) return r;
             return ws.move_range("D9", -5, 0, false);
         }, doc},
    };
    for (const auto& c : cases) {
        Worksheet ws("S");
        ws.xml_cell_maps.push_back(map_of(doc));
        ASSERT_TRUE(c.edit(ws)) << c.what;
        // Only the map's own relationship goes with it.
        std::vector<SheetRelEntry> rels{{"rId1", std::string(reader::kTableSingleCellsRelType), "x", std::nullopt},
                                        {"rId1", "other", "x", std::nullopt},
                                        {"rId2", std::string(reader::kTableSingleCellsRelType), "y", std::nullopt}};
        writer::drop_emptied_map_rels(rels, ws);
        EXPECT_EQ(rels.size(), c.written ? 3u : 2u) << c.what;
        Workbook wb;
        wb.sheets.push_back(std::move(ws));
        const writer::RewrittenMaps rewritten = writer::rewritten_map_parts(wb);
        if (!c.written || *c.written == doc) {
            EXPECT_TRUE(rewritten.empty()) << c.what;
        } else {
            ASSERT_EQ(rewritten.size(), 1u) << c.what;
            EXPECT_EQ(rewritten.at("XL/tables/tableSingleCells1.xml"), *c.written) << c.what;
        }
    }
}

TEST(XmlCellMapEdits, MapsThatCannotFollowRefuseWhatWouldMoveTheirCells) {
    const std::string doc = part(entry(1, "C3"));
    const std::string unread = "operation may move cells bound to the XML map in \"xl/tables/tableSingleCells1.xml\", "
                               "which cannot be read";
    const std::string shared = "operation moves cells bound to the XML map in \"xl/tables/tableSingleCells1.xml\", "
                               "which other relationships reach too";
    using Edit = std::function<Result<void>(Worksheet&)>;
    const struct {
        const char* what;
        Edit edit;
        std::optional<std::string> unread, shared;  // the refusal for each kind of map, none: done
    } cases[] = {
        {"rows inserted after", [](Worksheet& ws) { return ws.insert_rows(4, 1); }, unread, std::nullopt},
        {"rows inserted at", [](Worksheet& ws) { return ws.insert_rows(3, 1); }, unread, shared},
        {"nothing inserted", [](Worksheet& ws) { return ws.insert_rows(1, 0); }, std::nullopt, std::nullopt},
        {"columns deleted before", [](Worksheet& ws) { return ws.delete_cols(1, 1); }, unread, shared},
        {"its column deleted", [](Worksheet& ws) { return ws.delete_cols(3, 1); }, unread, shared},
        {"a move from it", [](Worksheet& ws) { return ws.move_range("C3", 0, 1, false); }, unread, shared},
        {"a move onto it", [](Worksheet& ws) { return ws.move_range("A1", 2, 2, false); }, unread, shared},
        {"a move elsewhere", [](Worksheet& ws) { return ws.move_range("A1", 1, 0, false); }, unread, std::nullopt},
        {"a move by nothing", [](Worksheet& ws) { return ws.move_range("A1:C3", 0, 0, false); }, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        for (const auto hold : {XmlCellMap::Hold::Unread, XmlCellMap::Hold::Shared}) {
            Worksheet ws("S");
            ws.set_cell("C3", Value(std::string("bound")));
            ws.xml_cell_maps.push_back(map_of(doc, hold));
            const std::optional<std::string>& refusal = hold == XmlCellMap::Hold::Unread ? c.unread : c.shared;
            const auto before = ws.xml_cell_maps;
            const auto r = c.edit(ws);
            if (!refusal) {
                EXPECT_TRUE(r) << c.what;
                continue;
            }
            ASSERT_FALSE(r) << c.what;
            EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
            EXPECT_EQ(r.error().message, *refusal) << c.what;
            EXPECT_EQ(ws.xml_cell_maps, before) << c.what;
            ASSERT_NE(ws.find_cell("C3"), nullptr) << c.what;
        }
    }
}

TEST(XmlCellMapEdits, AnInsertPushingABoundCellOffTheGridIsRefused) {
    Worksheet ws("S");
    ws.xml_cell_maps.push_back(map_of(part(entry(1, "B1048576") + entry(2, "XFD3"))));
    const auto before = ws.xml_cell_maps;
    auto r = ws.insert_rows(2, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "row insert at 2 with amount 1 would push XML map cell B1048576 past row 1048576");
    r = ws.insert_cols(3, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "column insert at 3 with amount 1 would push XML map cell XFD3 past column 16384");
    EXPECT_EQ(ws.xml_cell_maps, before);
}

TEST(XmlCellMapEdits, RandomEditsKeepEveryEntryOnItsCell) {
    // Each bound cell holds its entry's number: after any run of edits, an entry stands where that
    // number now is, and an entry is gone exactly when its number is.
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        const auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
        Worksheet ws("S");
        std::string entries;
        for (int i = 0; i < 30; ++i) {
            const std::string at = coords::rc_to_a1(pick(1, 30), pick(1, 12));
            if (ws.find_cell(at)) continue;
            ws.set_cell(at, Value(double(i)));
            entries += entry(i, at);
        }
        ws.xml_cell_maps.push_back(map_of(part(entries)));
        for (int step = 0; step < 25; ++step) {
            const uint32_t at = pick(1, 30), n = pick(1, 4);
            switch (pick(0, 4)) {
            case 0: ASSERT_TRUE(ws.insert_rows(at, n)); break;
            case 1: ASSERT_TRUE(ws.delete_rows(at, n)); break;
            case 2: ASSERT_TRUE(ws.insert_cols(pick(1, 12), n)); break;
            case 3: ASSERT_TRUE(ws.delete_cols(pick(1, 12), n)); break;
            default: {
                const uint32_t r = pick(5, 30), c = pick(3, 12);
                const std::string range = coords::rc_to_a1(r - pick(0, 4), c - pick(0, 2)) + ":" + coords::rc_to_a1(r, c);
                (void)ws.move_range(range, int64_t(pick(0, 8)) - 4, int64_t(pick(0, 4)) - 2, false);
            }
            }
        }
        const XmlCellMap& map = ws.xml_cell_maps.front();
        const auto text = writer::rewrite_xml_cell_map(map);
        const auto reread = reader::parse_xml_cell_map(text);
        ASSERT_TRUE(reread) << seed;
        size_t kept = 0;
        for (const MappedCell& c : map.cells) {
            const double number = std::stod(map.text.substr(c.begin + 19, 3));  // id="N" holds its number
            std::optional<coords::CellPos> holder;
            for (const auto& [key, cell] : ws.cells())
                if (const double* v = std::get_if<double>(&cell.value); v && *v == number) holder = key.pos();
            EXPECT_EQ(c.at, holder) << "seed " << seed << " entry " << number;
            if (c.at) {
                ASSERT_LT(kept, reread->size()) << seed;
                EXPECT_EQ((*reread)[kept++].loaded, *c.at) << "seed " << seed;
            }
        }
        EXPECT_EQ(kept, reread->size()) << seed;
    }
}
