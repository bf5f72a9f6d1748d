// Reading where a pivot table stands from its part: the root's name and its location child, and
// nothing at all from a part that does not say so plainly.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "reader/pivot_table_reader.hpp"

using namespace velmo;
using namespace velmo::reader;

namespace {

constexpr std::string_view kPart = "xl/pivotTables/pivotTable1.xml";
const std::string kRoot = "<pivotTableDefinition xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" ";

struct Case {
    const char* what;
    std::string xml;
    std::optional<PivotTableLocation> expected;
};

PivotTableLocation at(std::string name, std::string ref, coords::RangePos range) {
    return {std::move(name), std::move(ref), range};
}

TEST(PivotTableReader, ReadsNameAndLocationOrNothing) {
    const std::string fields = "<pivotFields count=\"1\"><pivotField showAll=\"0\"/></pivotFields>";
    const Case cases[] = {
        {"plain", "<?xml version=\"1.0\"?>" + kRoot + "name=\"PivotTable1\" cacheId=\"3\"><location ref=\"A3:C20\" "
                  "firstHeaderRow=\"1\"/>" + fields + "</pivotTableDefinition>",
         at("PivotTable1", "A3:C20", {1, 3, 3, 20})},
        {"prefixed, corners reversed, escaped name",
         "<x:pivotTableDefinition xmlns:x=\"urn:x\" name=\"P&amp;L_x0031_\"><x:location ref=\"D9:B2\"></x:location>"
         "</x:pivotTableDefinition>",
         at("P&L1", "D9:B2", {2, 2, 4, 9})},
        {"one cell, white space around", kRoot + "name=\"P\"><location ref=\" B2 \"/></pivotTableDefinition>",
         at("P", " B2 ", {2, 2, 2, 2})},
        {"no name: the part's", kRoot + "><location ref=\"A1:B2\"/></pivotTableDefinition>", at(std::string(kPart), "A1:B2", {1, 1, 2, 2})},
        {"empty name: the part's", kRoot + "name=\"\"><location ref=\"A1\"/></pivotTableDefinition>", at(std::string(kPart), "A1", {1, 1, 1, 1})},
        {"cut short after the location", kRoot + "name=\"P\"><location ref=\"A1:B2\"/><pivotFields",
         at("P", "A1:B2", {1, 1, 2, 2})},
        {"another root", "<table name=\"P\"><location ref=\"A1:B2\"/></table>", std::nullopt},
        {"root closed at once", kRoot + "name=\"P\"/><location ref=\"A1:B2\"/>", std::nullopt},
        {"no location", kRoot + "name=\"P\">" + fields + "</pivotTableDefinition>", std::nullopt},
        {"location deeper only", kRoot + "name=\"P\"><extLst><location ref=\"A1:B2\"/></extLst></pivotTableDefinition>",
         std::nullopt},
        {"location without ref", kRoot + "name=\"P\"><location firstHeaderRow=\"1\"/></pivotTableDefinition>", std::nullopt},
        {"ref not a range", kRoot + "name=\"P\"><location ref=\"$A$1:$B$2\"/></pivotTableDefinition>", std::nullopt},
        {"bad escape in ref", kRoot + "name=\"P\"><location ref=\"A1&bogus;\"/></pivotTableDefinition>", std::nullopt},
        {"bad escape in name: the part's", kRoot + "name=\"&#0;\"><location ref=\"A1\"/></pivotTableDefinition>",
         at(std::string(kPart), "A1", {1, 1, 1, 1})},
        {"broken before the location", kRoot + "name=\"P\"<location ref=\"A1:B2\"/></pivotTableDefinition>", std::nullopt},
        {"not XML", "\xff\xfe<\0p\0", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_pivot_location(c.xml, kPart), c.expected) << c.what;
    }
}

}  // namespace
