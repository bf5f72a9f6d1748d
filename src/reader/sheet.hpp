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

// What the dependents of shared formulas may store, for one whole workbook. A dependent holds its
// master's text moved to its own cell: a few bytes of markup can stand for kilobytes of formula,
// and moved references grow ("A1" becomes "A1040000"), so each dependent is charged what it really
// stores, and the budget is in proportion to the file rather than to what the file inflates to.
class SharedFormulaBudget {
public:
    // A cell in the cell map: its entry (80 bytes), its index slot and the room the map keeps to grow.
    static constexpr uint64_t kCellBytes = 128;
    // A formula text's heap block beyond the text: its terminator, the allocator's header and rounding.
    static constexpr uint64_t kTextBlockBytes = 32;
    // What a dependent whose formula text is `length` bytes costs.
    static constexpr uint64_t cost_of(uint64_t length) { return kCellBytes + kTextBlockBytes + length; }
    // The budget of a package whose worksheet parts take `stored_bytes` of the file (compressed). Real
    // workbooks store tens of bytes of dependents for each such byte (a 70-character formula shared
    // down ten columns, 50); 64 MiB serves small files whose parts compress further.
    static constexpr uint64_t limit_for(uint64_t stored_bytes) { return (uint64_t{64} << 20) + 256 * stored_bytes; }

    explicit SharedFormulaBudget(uint64_t limit) : limit_(limit), left_(limit) {}
    uint64_t limit() const { return limit_; }
    uint64_t left() const { return left_; }
    // Charges `cost`; false, charging nothing, when it is more than what is left.
    bool take(uint64_t cost) {
        if (cost > left_) return false;
        left_ -= cost;
        return true;
    }

private:
    uint64_t limit_;
    uint64_t left_;
};

// Parses the worksheet part `part` (the whole inflated entry; it must outlive the call only).
// Every cell shares `stylesheet` (null means the empty style sheet); `temporal_kinds` is
// temporal_kinds_by_style(*stylesheet); `date1904` selects the 1904 date system for date and
// date-time serials. The dependents of shared formulas are charged to `budget`, the workbook's
// (null: one of the part's own, as if it were a file's only worksheet, stored). Fails only with an
// XML error, one of them shared formulas that expand past the budget.
Result<ParsedSheet> parse_sheet(std::string_view part, const SharedStrings& shared_strings,
                                const std::shared_ptr<const StyleSheet>& stylesheet,
                                const std::vector<std::optional<TemporalKind>>& temporal_kinds, bool date1904,
                                SharedFormulaBudget* budget = nullptr);

}  // namespace velmo::reader
