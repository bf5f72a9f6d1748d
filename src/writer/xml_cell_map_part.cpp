#include "writer/xml_cell_map_part.hpp"

#include <string_view>
#include <unordered_set>

#include "model/coords.hpp"
#include "reader/sheet_rels.hpp"

namespace velmo::writer {

std::string rewrite_xml_cell_map(const XmlCellMap& map) {
    const std::string& text = map.text;
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    // The reader gives the entries in document order, apart, each within the text.
    for (const MappedCell& c : map.cells) {
        if (!c.at) {
            out.append(text, at, c.begin - at);
            at = c.end;
        } else if (*c.at != c.loaded) {
            out.append(text, at, c.ref_begin - at);
            coords::append_a1(out, c.at->row, c.at->col);
            at = c.ref_end;
        }
    }
    out.append(text, at);
    return out;
}

RewrittenMaps rewritten_map_parts(const Workbook& wb) {
    RewrittenMaps out;
    for (const Worksheet& ws : wb.sheets)
        for (const XmlCellMap& map : ws.xml_cell_maps)
            if (map.hold == XmlCellMap::Hold::Follows && map.changed() && !map.emptied())
                out.try_emplace(map.part, rewrite_xml_cell_map(map));
    return out;
}

void drop_emptied_map_rels(std::vector<SheetRelEntry>& rels, const Worksheet& ws) {
    std::unordered_set<std::string_view> emptied;
    for (const XmlCellMap& map : ws.xml_cell_maps)
        if (map.emptied()) emptied.insert(map.rel_id);
    if (emptied.empty()) return;
    std::erase_if(rels, [&](const SheetRelEntry& e) {
        return e.rel_type == reader::kTableSingleCellsRelType && emptied.contains(e.id);
    });
}

}  // namespace velmo::writer
