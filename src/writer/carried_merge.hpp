#pragma once
// What a loaded sheet carries from its source, as a save writes it: the carried elements, where
// the sheet views take the model's frozen pane and active sheet and the sheet format its outline
// levels, and the attributes of rows and columns.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/workbook.hpp"

namespace velmo::writer {

// Appends the carried element `e` of `ws` as the save writes it (`active`: `ws` is the workbook's
// active sheet), when it writes it (writes_carried).
void append_carried(std::string& out, const CarriedElement& e, const Worksheet& ws, bool active);

// Whether a save that has the carried element `e` of `ws` in its place writes it: all but an auto
// filter whose range has been set anew.
bool writes_carried(const CarriedElement& e, const Worksheet& ws);

// Whether the frozen pane has been set anew since the load: the source's sheet views then give up
// their pane.
bool pane_changed(const Worksheet& ws);

// Whether the source's auto filter element, criteria included, is the one to write: the range is
// still the one loaded.
bool keeps_loaded_filter(const Worksheet& ws);

// The sheetFormatPr that outline levels need on a sheet whose source had none; empty when the
// sheet has no outline.
std::string outline_format_xml(const Worksheet& ws);

// One row or column with a format.
struct FormattedLine {
    uint32_t index;
    const LineFormat* format;
};
// The rows or columns of `formats` from 1 to `limit`, in order (a line past the grid has no
// element to go on).
std::vector<FormattedLine> formatted_lines(const std::unordered_map<uint32_t, LineFormat>& formats, uint32_t limit);

// Appends the attributes of a row (`row`) or column beside its height or width, to its start tag.
void append_line_format(std::string& out, const LineFormat& f, bool row);

// The `pane` and `selection` elements that freeze the sheet at `pane` (the top-left cell of the
// unfrozen part); empty when that freezes nothing ("A1", or a text without a row or column).
std::string frozen_pane_xml(std::string_view pane);

// The source's sheetViews element `views` as a save writes it: its first sheetView selected
// (tabSelected) exactly when `selected`; with `pane_changed`, that view's pane and the selections
// that depend on it give way to those of `pane` (frozen_pane_xml; empty removes them), and the
// view loses its scroll position (topLeftCell), so that the pane counts from A1. Zoom, grid lines,
// right-to-left, other selections and views stay as they are.
std::string merge_sheet_views(std::string_view views, bool selected, bool pane_changed, std::string_view pane);

// The source's sheetFormatPr element `format` with the outline levels of the rows and columns the
// save writes (0: the attribute left out).
std::string with_outline_levels(std::string_view format, uint8_t row_level, uint8_t col_level);

}  // namespace velmo::writer
