#pragma once
// The in-memory workbook: worksheets, cells and values, and the basic worksheet operations.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/cell.hpp"
#include "model/cell_map.hpp"
#include "model/comments.hpp"
#include "model/conditional_formatting.hpp"
#include "model/coords.hpp"
#include "model/defined_names.hpp"
#include "model/error.hpp"
#include "model/hyperlink.hpp"
#include "model/note_boxes.hpp"
#include "model/pivot_table.hpp"
#include "model/sheet_rel.hpp"
#include "model/sheet_settings.hpp"
#include "model/styles.hpp"
#include "model/table.hpp"
#include "model/value.hpp"
#include "model/value_block.hpp"
#include "model/xml_cell_map.hpp"

namespace velmo {

// A copy of a cell together with its coordinate, as handed out by the rectangular reads.
struct CellCopy {
    std::string coordinate;
    Cell cell;
};

// Hashes std::string and std::string_view alike, for maps looked up by views.
struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

enum class Axis { Rows, Cols };

struct UsedRange {
    uint32_t min_row = 0, max_row = 0, min_col = 0, max_col = 0;
    bool empty = true;  // no key parses
};

// The largest rectangle the rectangular reads will build (cells); larger requests fail before allocating.
inline constexpr uint64_t kMaxRectangleCells = 100'000'000;

class Worksheet {
public:
    std::string name;
    SheetState state = SheetState::Visible;
    std::vector<std::string> merged_ranges;
    DefinedNames defined_names;  // sheet scope
    std::vector<SheetTable> tables;
    // The pivot tables the source's relationships placed on the sheet; their parts are carried as
    // they were, so edits that would move their cells refuse instead.
    std::vector<PivotTableLocation> pivot_tables;
    // The cells the source's relationships bind to XML maps, one list per map part; they follow
    // the edits that move cells.
    std::vector<XmlCellMap> xml_cell_maps;
    std::vector<ConditionalFormatting> conditional_formatting;
    std::optional<std::string> freeze_panes;
    std::optional<std::string> print_area_text;  // stored form: absolute, no sheet prefix, joined by ","
    std::optional<std::string> print_title_rows;
    std::optional<std::string> print_title_cols;
    std::optional<std::string> auto_filter;
    // The auto filter's range as loaded. While auto_filter still equals it, the source's filter
    // element (carried, with its criteria and sort state) is written as it was; set_auto_filter
    // drops it, starting a filter without criteria.
    std::optional<std::string> loaded_auto_filter;
    // Set by set_auto_filter. Until then the sheet's hidden filter name stays as loaded, whether or
    // not the sheet has a filter: a desktop advanced filter leaves the name without one.
    bool auto_filter_changed = false;
    std::unordered_map<uint32_t, double> column_widths;
    std::unordered_map<uint32_t, double> row_heights;
    // Hidden, outline, style...: only rows and columns that have any are listed.
    std::unordered_map<uint32_t, LineFormat> row_formats;
    std::unordered_map<uint32_t, LineFormat> column_formats;
    // The source's worksheet children the model does not hold, in source order; none for a sheet
    // made through the API.
    std::vector<CarriedElement> carried;
    // The (prefix, namespace) pairs the source's worksheet element marked ignorable, in its order;
    // none for most sheets. A save marks again those that what it writes of the source uses.
    std::vector<std::pair<std::string, std::string>> ignorable;
    // The frozen pane as loaded: while freeze_panes still equals it, the source's sheet views are
    // written as they were.
    std::optional<std::string> loaded_freeze_panes;
    // The legacy drawing that showed the source's notes, and the edits since the load; none for a
    // sheet made through the API or read without one.
    std::optional<SourceDrawing> legacy_drawing;

    Worksheet() = default;
    explicit Worksheet(std::string title) : name(std::move(title)) {}

    // ---- cells ----
    // Cell pointers and references stay valid only until the next insertion or removal of a cell.
    const CellMap& cells() const { return cells_; }
    const Cell* find_cell(std::string_view key) const { return cells_.find(key); }
    Cell* find_cell_mut(std::string_view key) { return cells_.find(key); }
    // The cell under the canonical key of (row, col), both >= 1.
    const Cell* find_cell(uint32_t row, uint32_t col) const { return cells_.find(row, col); }
    // The cell under that exact key, created empty (own empty style sheet, style 0) when absent.
    Cell& ensure_cell_mut(std::string_view key);
    // The same under the canonical key of (row, col), both >= 1.
    Cell& ensure_cell_mut(uint32_t row, uint32_t col);
    // Stores a cell under `key`, replacing any cell there (the reader's bulk path).
    void put_cell(std::string_view key, Cell cell);
    // The same under the canonical key of (row, col), both >= 1.
    void put_cell(uint32_t row, uint32_t col, Cell&& cell);
    void reserve_cells(size_t n) { cells_.reserve(n); }
    void set_cell(std::string_view key, Value value);
    // Writes the values into the row after the last parsed row, from column 1.
    Result<void> append(std::vector<Value> values);

    // Bounds default to the used range; see the implementation for the refusals.
    Result<std::vector<std::vector<CellCopy>>> iter_rows(std::optional<uint32_t> min_row, std::optional<uint32_t> max_row,
                                                         std::optional<uint32_t> min_col, std::optional<uint32_t> max_col) const;
    Result<std::vector<std::vector<CellCopy>>> iter_cols(std::optional<uint32_t> min_row, std::optional<uint32_t> max_row,
                                                         std::optional<uint32_t> min_col, std::optional<uint32_t> max_col) const;
    // A copy of the values alone of the rectangle iter_rows (by_rows) or iter_cols would walk, with the
    // same bounds and refusals.
    Result<ValueBlock> values_rect(bool by_rows, std::optional<uint32_t> min_row, std::optional<uint32_t> max_row,
                                   std::optional<uint32_t> min_col, std::optional<uint32_t> max_col) const;
    // Min/max row and column over the keys that parse (cached; recomputed lazily after edits that move cells).
    const UsedRange& used_range() const;

    // ---- records on cells and the sheet ----
    void merge_cells(std::string_view range);
    void unmerge_cells(std::string_view range);
    // The cell setters act on the cell of the grid that the key names in any spelling ("B7", "b7",
    // "$B$7"): on the cell as stored, whatever its key, or on a new one under "B7". A key that names
    // no cell of the grid is refused: no save could write what it would store.
    Result<void> set_cell_fill(std::string_view key, Fill fill);
    // A comment replacing a loaded one keeps its box, and its formatting when its words and author
    // are the same.
    Result<void> set_cell_comment(std::string_view key, Comment comment);
    // An empty target does nothing, whatever the key.
    Result<void> set_cell_hyperlink(std::string_view key, std::string_view target);
    // A size for a line of the grid that is finite and not negative; anything else is refused.
    Result<void> set_column_width(uint32_t col, double width);
    Result<void> set_row_height(uint32_t row, double height);
    // Trimmed; none or blank clears. A filter set here has no criteria, even over the loaded range.
    void set_auto_filter(const std::optional<std::string>& text);
    // The stored print area composed with the quoted sheet title ("'Sheet1'!$A$1:$B$2").
    std::optional<std::string> print_area() const;
    Result<void> add_conditional_formatting(std::string_view sqref, ConditionalRule rule);

    // ---- structural edits ----
    Result<void> validate_bulk_op(Axis axis, bool is_insert, uint32_t idx, uint32_t amount) const;
    Result<void> insert_rows(uint32_t idx, uint32_t amount);
    Result<void> delete_rows(uint32_t idx, uint32_t amount);
    Result<void> insert_cols(uint32_t idx, uint32_t amount);
    Result<void> delete_cols(uint32_t idx, uint32_t amount);
    // Re-keys cells, merged ranges and heights/widths along an axis: delta > 0 inserts, < 0 deletes -delta.
    Result<void> shift_axis(Axis axis, uint32_t at, int64_t delta);
    Result<void> move_range(std::string_view range, int64_t rows, int64_t cols, bool translate);

    // ---- tables ----
    Result<void> add_table(Table table);
    std::optional<SheetTable> remove_table(std::string_view display_name);
    // Write access to a table; marks its raw part modified.
    Table* table_mut(std::string_view display_name);
    const Table* find_table(std::string_view display_name) const;

    // Drops the cached used range (after edits that move or remove cells).
    void invalidate_used_range() { used_valid_ = false; }
    // Direct mutable access for edits that re-key cells; callers must invalidate the used range.
    CellMap& cells_mut() { return cells_; }

private:
    // The cell a cell setter acts on, created when absent; refused as above.
    Result<Cell*> settable_cell(std::string_view key);
    void widen_used_range(uint32_t row, uint32_t col) const;
    void widen_used_range(std::string_view key) const;

    CellMap cells_;
    mutable UsedRange used_;
    mutable bool used_valid_ = true;  // an empty map has an empty (valid) used range
};

namespace table {
// One column per column of the range's first row, named from the header cells, de-duplicated.
// Empty when the range does not parse, runs right to left, or spans more than 16384 columns.
std::vector<TableColumn> derive_columns_from_header(const Worksheet& ws, std::string_view range);
// The text a header cell's value gives a derived column name.
std::string value_to_header(const Value& value);
// The table's columns with each named as its header cell shows where the two differ, so that the
// table agrees with its own header row; none when they agree already, or when the table has no
// header row. A header cell that is empty, or whose shown text depends on a number format or a
// calculation, leaves its column's name; a new name that another column of the table holds
// (ASCII case ignored) is numbered as a repeated header is in derivation.
std::optional<std::vector<TableColumn>> columns_named_by_header(const Worksheet& ws, const Table& table);
}

// A child of the workbook part's root that the model does not hold, as the source wrote it.
struct WorkbookElement {
    std::string xml;
    // The local name of the last child before it in the source that the schema places at the
    // root, "" when none came before: where a child the schema does not name goes back.
    std::string follows;
    bool operator==(const WorkbookElement&) const = default;
};

// One entry of the source package's directory as it stood at load. A save copies entries from the
// source file as it is then; these tell it whether each is still the one loaded (what it holds, not
// how it was compressed), without keeping any entry's bytes.
struct SourceEntry {
    std::string name;
    uint32_t crc32 = 0;
    uint64_t size = 0;  // inflated
    // No relationship of the package reached it: a save copies it whatever the edits, so it must
    // still be there. (A relationships part counts as reached with the part it belongs to.)
    bool unreached = false;
    bool operator==(const SourceEntry&) const = default;
};

// An entry of the source package kept as its archive stored it (compressed bytes and what they
// inflate to), for a save to write without reading the file again.
struct StoredPart {
    std::string name;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t size = 0;  // inflated
    std::string stored;
    bool operator==(const StoredPart&) const = default;
};

class Workbook {
public:
    std::vector<Worksheet> sheets;
    std::vector<std::vector<SheetRelEntry>> sheet_relationships;  // one list per worksheet (may be shorter)
    std::vector<std::string> raw_defined_names;  // whole definedName elements, verbatim
    // What a save carries over of the workbook part: its relationships as read, the children of
    // its root that the model does not hold (workbook properties, views, pivot caches, revision
    // and markup-compatibility content, ...) in source order, and the (prefix, namespace) pairs
    // those children and the defined names use that the source's root marked ignorable, in the
    // order it listed them.
    std::vector<SheetRelEntry> workbook_relationships;
    std::vector<WorkbookElement> workbook_elements;
    std::vector<std::pair<std::string, std::string>> workbook_ignorable;
    DefinedNames defined_names;                  // workbook scope
    std::optional<std::string> source_path;      // absolute path of the package loaded from
    std::vector<SourceEntry> source_entries;     // its directory at load, in directory order
    // Its content types at load: a save declares the parts it copies by the very types they had
    // then, whatever the file holds by the time of the save.
    std::optional<StoredPart> source_content_types;
    uint64_t active_index = 0;
    std::shared_ptr<const StyleSheet> stylesheet;  // none for a new workbook

    // One empty worksheet "Sheet", one empty relationship list.
    static Workbook make_new();
};

}  // namespace velmo
