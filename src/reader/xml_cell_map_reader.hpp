#pragma once
// The entries of a part that binds single cells to an XML map (its root a singleXmlCells element):
// the cell each names, and where its bytes lie, so that a save can rewrite the part around them.

#include <optional>
#include <string_view>
#include <vector>

#include "model/xml_cell_map.hpp"

namespace velmo::reader {

// The entries in document order, each at the cell it names (`at` equal to `loaded`). None unless
// the part says plainly where every cell it binds stands: a whole XML document whose root is
// singleXmlCells of the spreadsheet namespace, holding singleXmlCell elements alone, each with one
// `r` attribute naming a cell of the grid. Never fails: the part is carried whatever it holds.
std::optional<std::vector<MappedCell>> parse_xml_cell_map(std::string_view doc);

}  // namespace velmo::reader
