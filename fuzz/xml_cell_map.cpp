// A part binding single cells to an XML map: whatever the input, what reads as a list of cells
// has its entries in order within the part, and the part a save writes once some of those cells
// moved and others went reads back as the entries left, each at its cell's new place.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "model/xml_cell_map.hpp"
#include "reader/xml_cell_map_reader.hpp"
#include "writer/xml_cell_map_part.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo;
    std::vector<XmlCellMap> maps(1);
    XmlCellMap& map = maps.front();
    map.text.assign(fuzz::as_view(data, size));
    auto cells = reader::parse_xml_cell_map(map.text);
    if (!cells) return 0;
    map.cells = std::move(*cells);
    size_t end = 0;
    for (const MappedCell& c : map.cells) {
        FUZZ_CHECK(end <= c.begin && c.begin < c.ref_begin && c.ref_begin <= c.ref_end && c.ref_end < c.end);
        FUZZ_CHECK(c.end <= map.text.size() && c.at == c.loaded);
        end = c.end;
    }
    // Row 2 deleted (its cells go, those below move up), then A1:C3 moved one row down and two columns right.
    maps_follow(maps, CellEdit::shift(true, 2, -1));
    maps_follow(maps, CellEdit::move({1, 1, 3, 3}, 1, 2));
    const auto again = reader::parse_xml_cell_map(writer::rewrite_xml_cell_map(map));
    FUZZ_CHECK(again.has_value());
    size_t k = 0;
    for (const MappedCell& c : map.cells) {
        if (!c.at) continue;
        FUZZ_CHECK(k < again->size() && (*again)[k].loaded == *c.at);
        ++k;
    }
    FUZZ_CHECK(k == again->size());
    return 0;
}
