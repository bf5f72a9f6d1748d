#pragma once
// Where a pivot table of a worksheet stands, as its pivot table part places it. The part itself is
// carried unchanged; the model reads only this much of it, so that row and column edits and moves
// can refuse what would leave the pivot table behind its cells.

#include <string>

#include "model/coords.hpp"

namespace velmo {

struct PivotTableLocation {
    std::string name;  // the pivot table's name, or its part's name when it has none
    std::string ref;   // the location's range as written
    coords::RangePos range;  // the same, corners in min/max order
    bool operator==(const PivotTableLocation&) const = default;
};

}  // namespace velmo
