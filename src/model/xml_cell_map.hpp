#pragma once
// The single cells a worksheet binds to an XML map: a part of the source package (its root a
// singleXmlCells element) that a relationship of the sheet reaches, listing one entry per bound
// cell. The part is carried as the source stored it; the model holds where each entry stands, so
// that row and column edits and moves take a binding along with its cell, and drop it with its
// cell, rather than leave the map bound to whatever comes to stand where the cell was.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/coords.hpp"
#include "model/error.hpp"
#include "model/note_boxes.hpp"

namespace velmo {

// One entry of a map part: the cell it binds, and where its bytes lie in the part's text.
struct MappedCell {
    coords::CellPos loaded{};               // the cell its `r` names in the part
    std::optional<coords::CellPos> at{};    // where that cell stands now; none once it is gone
    std::size_t begin = 0, end = 0;         // the entry's whole element
    std::size_t ref_begin = 0, ref_end = 0; // the value of its `r` attribute, as written
    bool operator==(const MappedCell&) const = default;
};

struct XmlCellMap {
    // Whether the entries can follow the sheet's edits. A map that cannot holds no entries: every
    // edit that moves cells refuses, wherever they are.
    enum class Hold : std::uint8_t {
        Follows,  // read, and reached by this one relationship alone
        Shared,   // other relationships reach the part too: what follows one sheet's edits would
                  // change it for them as well
        Unread,   // the part is no plain list of cells: where its cells stand is not known
    };
    std::string part;    // the entry name in the source package
    std::string rel_id;  // the id of the sheet relationship that reaches it
    Hold hold = Hold::Follows;
    std::string text;    // the part as loaded, while its entries can follow
    std::vector<MappedCell> cells;
    bool operator==(const XmlCellMap&) const = default;

    // Some entry moved or went since the load.
    bool changed() const;
    // Every entry went: the map binds nothing any more.
    bool emptied() const;
};

// Refuses `edit` when it moves cells and the sheet has a map that cannot follow, naming the part.
// Nothing changes either way.
Result<void> check_maps_follow(const std::vector<XmlCellMap>& maps, const CellEdit& edit);

// Moves every entry as `edit` moves its cell: an entry whose cell is deleted, or overwritten by a
// moved block, goes. Positions are not held to the grid: an insert that would push an entry past
// it is refused before this.
void maps_follow(std::vector<XmlCellMap>& maps, const CellEdit& edit);

}  // namespace velmo
