#include "model/xml_cell_map.hpp"

#include <algorithm>

#include "model/quoted.hpp"

namespace velmo {

namespace {

// Where the entry's cell stands after `edit`; none when the edit removes it.
std::optional<coords::CellPos> after(const CellEdit& edit, coords::CellPos at) {
    std::optional<NoteAnchor> no_box;
    if (!follow_edit(edit, at, no_box)) return std::nullopt;
    return at;
}

bool moves_cells(const CellEdit& edit) {
    if (edit.kind == CellEdit::Kind::Move) return edit.move_rows != 0 || edit.move_cols != 0;
    return edit.delta != 0 && edit.at != 0;
}

}  // namespace

bool XmlCellMap::changed() const {
    return std::any_of(cells.begin(), cells.end(), [](const MappedCell& c) { return c.at != c.loaded; });
}

bool XmlCellMap::emptied() const {
    return !cells.empty() && std::none_of(cells.begin(), cells.end(), [](const MappedCell& c) { return c.at.has_value(); });
}

Result<void> check_maps_follow(const std::vector<XmlCellMap>& maps, const CellEdit& edit) {
    if (!moves_cells(edit)) return {};
    for (const XmlCellMap& map : maps) {
        if (map.hold == XmlCellMap::Hold::Follows) continue;
        const char* why = map.hold == XmlCellMap::Hold::Unread ? ", which cannot be read" : ", which other relationships reach too";
        return fail(VelmoError::invalid_format("operation may move cells bound to the XML map in " + quoted(map.part) + why));
    }
    return {};
}

void maps_follow(std::vector<XmlCellMap>& maps, const CellEdit& edit) {
    for (XmlCellMap& map : maps)
        for (MappedCell& c : map.cells)
            if (c.at) c.at = after(edit, *c.at);
}

}  // namespace velmo
