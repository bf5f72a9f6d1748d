#pragma once
// The parts that bind single cells to XML maps, as a save carries them: copied as they lie while
// their entries stand where they were loaded, rewritten where entries moved or went with their
// cells, and left out of the package, with the relationship that reached them, once they bind
// nothing.

#include <string>
#include <unordered_map>
#include <vector>

#include "model/sheet_rel.hpp"
#include "model/workbook.hpp"
#include "zip/part_names.hpp"

namespace velmo::writer {

// The map's part with the `r` of each moved entry naming its cell's new place and each entry whose
// cell went left out; every other byte as loaded.
std::string rewrite_xml_cell_map(const XmlCellMap& map);

// The text of every map part of the workbook whose entries moved or went and that still binds a
// cell, by the part's source entry name.
using RewrittenMaps = std::unordered_map<std::string, std::string, zip::PartNameHash, zip::PartNameEqual>;
RewrittenMaps rewritten_map_parts(const Workbook& wb);

// Leaves out of a sheet's settled relationships each one that reaches a map of `ws` binding no
// cell any more.
void drop_emptied_map_rels(std::vector<SheetRelEntry>& rels, const Worksheet& ws);

}  // namespace velmo::writer
