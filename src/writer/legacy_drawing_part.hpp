#pragma once
// A worksheet's legacy drawing (VML), "xl/drawings/vmlDrawing{k}.vml": the shape of each cell
// comment's note, and whatever else the source kept in the same drawing (form controls).
//
// A sheet without a drawing kept from its load gets one standard hidden note box per comment. A
// kept drawing is copied as it was stored while nothing changed; otherwise it is read
// (read_kept_drawing): its loaded notes keep their own shapes, with only their cell and anchor
// brought in line with where the cell now is, and its other shapes are written back whole.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/note_boxes.hpp"
#include "model/sheet_rel.hpp"
#include "model/workbook.hpp"
#include "reader/legacy_drawing.hpp"
#include "writer/cell_order.hpp"
#include "zip/entry.hpp"

namespace velmo::writer {

// A sheet's drawing kept from its load, as a save writes it. `drawing` views `text`, so it stays where it is
// made.
struct KeptDrawing {
    std::string text;
    // What it holds; none for a drawing copied as it is (read_kept_drawing).
    std::optional<reader::LegacyDrawing> drawing;

    KeptDrawing() = default;
    KeptDrawing(const KeptDrawing&) = delete;
    KeptDrawing& operator=(const KeptDrawing&) = delete;
};

// The drawing kept at load, read unless `as_is` (it is then written as it was stored); null when
// it cannot be inflated or read.
std::unique_ptr<KeptDrawing> read_kept_drawing(const SourceDrawing& source, bool as_is = false);

// Whether the source's drawing can be copied as it is: the sheet has had no row, column or block
// edit since the load, and its comments are exactly those loaded with that drawing.
bool drawing_as_loaded(const Worksheet& ws, const SheetCellOrder& order);

// The ZIP entry that writes a drawing copied as it is under the name `part`.
zip::Entry stored_drawing_entry(const SourceDrawing& source, std::string_view part);

// The legacy drawing of the comments of `order` (in cell order). Without `kept`: a fixed text
// with one hidden note shape per comment, numbered from 1024 and anchored at the cell's 0-based
// row and column. With a kept drawing that was read: the source's declaration and root, its shape
// layout, the shape types the written shapes use, its shapes that are not notes, then one shape
// per comment: a loaded note's own (its x:Row and x:Column set to the cell's, its x:Anchor
// following `edits`, its id renumbered only where another shape holds it), or the standard box
// for any other.
std::string write_vml_drawing(const SheetCellOrder& order, const KeptDrawing* kept = nullptr,
                              const std::vector<CellEdit>& edits = {});

// The relationships of a kept drawing written as `part`: the source's, their targets made absolute
// when `part` lies in another folder than the source part.
std::vector<SheetRelEntry> kept_drawing_relationships(const SourceDrawing& source, std::string_view part);

// The relationships among `rels` whose id the drawing `vml` names in an attribute value: a shape
// the drawing no longer holds (a deleted note's picture fill) takes its relationship along, and
// with it the part only that reached.
std::vector<SheetRelEntry> named_relationships(std::vector<SheetRelEntry> rels, std::string_view vml);

}  // namespace velmo::writer
