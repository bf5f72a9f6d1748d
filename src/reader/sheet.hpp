#pragma once
// Reading one worksheet part into a Worksheet: cells, row heights, column widths, merged
// ranges, frozen pane, auto filter and conditional formatting, plus its hyperlink elements.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "model/workbook.hpp"
#include "reader/shared_strings.hpp"

namespace velmo::reader {

// One hyperlink element of a worksheet part. `cell_ref` is the cell it belongs to: the `ref`
// as written for a single cell, the canonical key of the first cell for a range, which the link
// covers `rows` down and `cols` right from there. The package open resolves `rel_id` against the
// worksheet's relationships and attaches the link.
struct RawHyperlink {
    std::string cell_ref;
    std::optional<std::string> rel_id;
    std::optional<std::string> location;
    std::optional<std::string> tooltip;
    std::optional<std::string> display;
    uint32_t rows = 1;
    uint32_t cols = 1;
    bool operator==(const RawHyperlink&) const = default;
};

struct ParsedSheet {
    Worksheet worksheet;  // unnamed: the caller sets the title
    std::vector<RawHyperlink> hyperlinks;  // in document order
};

// The temporal kind of every cell format of a style sheet, by style index: built once per load
// so the sheet reader does not classify number formats per cell.
std::vector<std::optional<TemporalKind>> temporal_kinds_by_style(const StyleSheet& styles);

// The bytes of formula text that the dependents of a part's shared formulas may copy from their
// masters in all. Real sheets copy less than one byte per byte of their part; a few bytes of
// markup per dependent of a long master would otherwise expand a small file to gigabytes.
constexpr uint64_t shared_formula_limit(uint64_t part_size) { return (uint64_t{256} << 20) + 16 * part_size; }

// Parses the worksheet part `part` (the whole inflated entry; it must outlive the call only).
// Every cell shares `stylesheet` (null means the empty style sheet); `temporal_kinds` is
// temporal_kinds_by_style(*stylesheet); `date1904` selects the 1904 date system for date and
// date-time serials. Fails only with an XML error, one of them shared formulas that expand past
// shared_formula_limit.
Result<ParsedSheet> parse_sheet(std::string_view part, const SharedStrings& shared_strings,
                                const std::shared_ptr<const StyleSheet>& stylesheet,
                                const std::vector<std::optional<TemporalKind>>& temporal_kinds, bool date1904);

}  // namespace velmo::reader
