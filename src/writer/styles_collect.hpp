#pragma once
// The style tables of one save: the source's styles (or a small default set) plus what cells
// with a direct font or fill, temporal values and conditional formatting rules need. A format
// derived for a cell keeps the border, alignment, protection and style of the cell's own.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "model/workbook.hpp"
#include "writer/cell_order.hpp"

namespace velmo::writer {

// The format codes given to temporal values whose cell has no date or time format.
inline constexpr std::string_view kDateFormatCode = "yyyy-mm-dd";
inline constexpr std::string_view kDateTimeFormatCode = "yyyy-mm-dd h:mm:ss";
inline constexpr std::string_view kTimeFormatCode = "h:mm:ss";
inline constexpr std::string_view kDurationFormatCode = "[hh]:mm:ss";

// The first id given to a custom number format.
inline constexpr uint32_t kFirstCustomNumFmtId = 164;

struct CollectedStyles {
    std::vector<Font> fonts;      // position = fontId
    std::vector<Fill> fills;      // position = fillId
    std::vector<CellXf> cell_xfs;  // position = a cell's `s`
    std::vector<std::pair<uint32_t, std::string>> num_fmts;  // (id, code), ascending id
    std::vector<Dxf> dxfs;        // position = dxfId
    // Carried from the source as written: the borders (none: the one empty border of a new
    // workbook), the cell formats' alignment and protection children, the top-level elements.
    std::vector<std::string> borders;
    std::vector<std::string> xf_children;
    StyleBlocks blocks;

    // Per sheet, parallel to the sheet's cell order: the cellXfs position derived for the cell,
    // or kOwnStyle when the cell keeps its own style index. Empty for a sheet with no derived
    // formats.
    static constexpr uint32_t kOwnStyle = UINT32_MAX;
    std::vector<std::vector<uint32_t>> cell_xf_ids;
    // Per sheet, conditional formatting block and rule: the dxfId written for the rule, if any.
    std::vector<std::vector<std::vector<std::optional<uint32_t>>>> rule_dxf_ids;

    // The derived cellXfs position of the cell at `pos` in sheet `sheet`'s order, if any.
    std::optional<uint32_t> derived_xf(size_t sheet, size_t pos) const {
        if (sheet >= cell_xf_ids.size() || pos >= cell_xf_ids[sheet].size()) return std::nullopt;
        const uint32_t id = cell_xf_ids[sheet][pos];
        if (id == kOwnStyle) return std::nullopt;
        return id;
    }
    // The `s` written for that cell: its derived format, else the low 32 bits of its own index.
    uint32_t cell_style(size_t sheet, size_t pos, const Cell& cell) const {
        if (auto id = derived_xf(sheet, pos)) return *id;
        return static_cast<uint32_t>(cell.style_index);
    }
    std::optional<uint32_t> rule_dxf_id(size_t sheet, size_t block, size_t rule) const {
        if (sheet >= rule_dxf_ids.size() || block >= rule_dxf_ids[sheet].size() ||
            rule >= rule_dxf_ids[sheet][block].size())
            return std::nullopt;
        return rule_dxf_ids[sheet][block][rule];
    }
};

// Collects the styles of `wb`, walking its sheets in order and each sheet's cells in `orders`
// (order_workbook_cells), so that positions of appended records are the same at every save.
// `has_source`: the save copies from a source package, whose styles are then kept in place.
// Records are reused through hash indexes: an appended record never equals an earlier one.
// InvalidFormat "number format ID space exhausted" when no custom id is left.
Result<CollectedStyles> collect_styles(const Workbook& wb, bool has_source, const std::vector<SheetCellOrder>& orders);

}  // namespace velmo::writer
