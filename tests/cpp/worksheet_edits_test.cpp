#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "model/workbook.hpp"

using namespace velmo;

namespace {

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

// The sheet's cells as key -> string value, in key order, for whole-state comparisons.
std::map<std::string, std::string> snapshot(const Worksheet& ws) {
    std::map<std::string, std::string> out;
    for (const auto& [k, c] : ws.cells()) {
        const auto* s = std::get_if<Text>(&c.value);
        out[k] = s ? s->str() : "";
    }
    return out;
}

Worksheet sheet_with(std::initializer_list<const char*> keys) {
    Worksheet ws("S");
    for (const char* k : keys) ws.set_cell(k, Value(std::string(k)));
    return ws;
}

void add_table(Worksheet& ws, std::string name, std::string range) {
    ws.tables.push_back(SheetTable{Table::make(std::move(name), std::move(range)), std::nullopt});
}

void expect_invalid(const Result<void>& r, const std::string& message) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message, message);
}

void expect_table_hit(const Result<void>& r, const std::string& range) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::TableIntersection);
    EXPECT_EQ(r.error().message, range);
}

}  // namespace

TEST(ValidateBulkOp, MessagesInCheckOrder) {
    Worksheet ws("S");
    expect_invalid(ws.validate_bulk_op(Axis::Rows, true, 0, 1), "row index 0 out of bounds; must be >= 1");
    expect_invalid(ws.validate_bulk_op(Axis::Cols, true, 0, 0), "column index 0 out of bounds; must be >= 1");
    expect_invalid(ws.validate_bulk_op(Axis::Cols, true, 16385, 1), "column index 16385 out of bounds; maximum is 16384");
    expect_invalid(ws.validate_bulk_op(Axis::Rows, false, 1048577, 1), "row index 1048577 out of bounds; maximum is 1048576");
    expect_invalid(ws.validate_bulk_op(Axis::Rows, true, 1048576, 1),
                   "row insert at 1048576 with amount 1 would exceed maximum 1048576");
    expect_invalid(ws.validate_bulk_op(Axis::Cols, true, 16000, 385),
                   "column insert at 16000 with amount 385 would exceed maximum 16384");
    expect_invalid(ws.validate_bulk_op(Axis::Rows, true, 1, 4294967295u), "row insert at 1 with amount 4294967295 causes overflow");
    expect_invalid(ws.validate_bulk_op(Axis::Cols, false, 1, 4294967295u),
                   "column delete at 1 with amount 4294967295 causes overflow");
}

TEST(ValidateBulkOp, AcceptedEdges) {
    Worksheet ws("S");
    EXPECT_TRUE(ws.validate_bulk_op(Axis::Rows, true, 1048575, 1));
    EXPECT_TRUE(ws.validate_bulk_op(Axis::Cols, true, 16383, 1));
    EXPECT_TRUE(ws.validate_bulk_op(Axis::Rows, true, 1048576, 0));  // amount 0 skips the range checks
    EXPECT_TRUE(ws.validate_bulk_op(Axis::Rows, false, 1048576, 1000));  // deleting past the grid is fine
    EXPECT_TRUE(ws.validate_bulk_op(Axis::Rows, false, 1, 4294967294u));
}

TEST(ShiftCells, InsertAndDeleteRows) {
    Worksheet ws = sheet_with({"A1", "A2", "B5"});
    ASSERT_TRUE(ws.insert_rows(2, 3));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A1", "A1"}, {"A5", "A2"}, {"B8", "B5"}}));

    Worksheet del = sheet_with({"A1", "A2", "A3", "A4"});
    ASSERT_TRUE(del.delete_rows(2, 2));
    EXPECT_EQ(snapshot(del), (std::map<std::string, std::string>{{"A1", "A1"}, {"A2", "A4"}}));
    EXPECT_EQ(del.used_range().max_row, 2u);
}

TEST(ShiftCells, InsertAndDeleteColumnsLeaveRowsAlone) {
    Worksheet ws = sheet_with({"A7", "C7"});
    ws.row_heights = {{7, 20.0}};
    ASSERT_TRUE(ws.insert_cols(2, 1));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A7", "A7"}, {"D7", "C7"}}));
    EXPECT_EQ(ws.row_heights, (std::unordered_map<uint32_t, double>{{7, 20.0}}));
    EXPECT_EQ(ws.used_range().max_col, 4u);

    ASSERT_TRUE(ws.delete_cols(1, 2));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"B7", "C7"}}));
}

TEST(ShiftCells, KeysCanonicalisedAndUnparsedKeysKept) {
    Worksheet ws = sheet_with({"b2", "Total", "A01"});
    ASSERT_TRUE(ws.insert_rows(10, 1));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A1", "A01"}, {"B2", "b2"}, {"Total", "Total"}}));
}

// Inserts near the grid's last row and column: content pushed past it refuses the edit, naming the
// first cell or range concerned, and changes nothing; what only formats the lines that fall off is cut.
TEST(ShiftEdges, ContentRefusesFormattingIsCut) {
    const struct {
        void (*build)(Worksheet&);
        Result<void> (*edit)(Worksheet&);
        const char* refusal;
    } cases[] = {
        {[](Worksheet& ws) { ws.set_cell("B1048576", Value(1.0)), ws.set_cell("A1048575", Value(2.0)); },
         [](Worksheet& ws) { return ws.insert_rows(5, 3); }, "row insert at 5 with amount 3 would push cell A1048575 past row 1048576"},
        {[](Worksheet& ws) { ws.set_cell_comment("XFD3", Comment{"n", "a"}); },
         [](Worksheet& ws) { return ws.insert_cols(2, 2); }, "column insert at 2 with amount 2 would push cell XFD3 past column 16384"},
        {[](Worksheet& ws) { ws.set_cell_hyperlink("XFD1", "https://x.test/"); },
         [](Worksheet& ws) { return ws.insert_cols(16383, 1); }, "column insert at 16383 with amount 1 would push cell XFD1 past column 16384"},
        {[](Worksheet& ws) { ws.ensure_cell_mut("A1048576").extras_mut().kept.emplace().error = "#N/A"; },
         [](Worksheet& ws) { return ws.insert_rows(1048575, 1); }, "row insert at 1048575 with amount 1 would push cell A1048576 past row 1048576"},
        {[](Worksheet& ws) {
             ws.set_cell("C1048570", Value{Formula{"A1:A7"}});
             ws.find_cell_mut("C1048570")->extras_mut().array = ArraySpan{7, 1};
         },
         [](Worksheet& ws) { return ws.insert_rows(1048572, 2); },
         "row insert at 1048572 with amount 2 would push array formula C1048570:C1048576 past row 1048576"},
        {[](Worksheet& ws) {
             ws.set_cell_hyperlink("B1048570", "https://x.test/");
             ws.find_cell_mut("B1048570")->extras_mut().hyperlink->rows = 7;
         },
         [](Worksheet& ws) { return ws.insert_rows(1, 1); },
         "row insert at 1 with amount 1 would push hyperlink B1048570:B1048576 past row 1048576"},
        {[](Worksheet& ws) { ws.merged_ranges = {"A1:B2", "XFC1:XFD2"}; },
         [](Worksheet& ws) { return ws.insert_cols(1, 1); }, "column insert at 1 with amount 1 would push merged range XFC1:XFD2 past column 16384"},
    };
    for (const auto& c : cases) {
        Worksheet ws("S");
        c.build(ws);
        const auto cells = snapshot(ws);
        const auto ranges = ws.merged_ranges;
        expect_invalid(c.edit(ws), c.refusal);
        EXPECT_EQ(snapshot(ws), cells) << c.refusal;
        EXPECT_EQ(ws.merged_ranges, ranges) << c.refusal;
    }
    {
        // Where an array formula's block widens, a link's range only moves with its cell: an insert
        // inside it pushes nothing off the grid.
        Worksheet ws("S");
        ws.set_cell_hyperlink("B1048570", "https://x.test/");
        ws.find_cell_mut("B1048570")->extras_mut().hyperlink->rows = 7;
        ASSERT_TRUE(ws.insert_rows(1048572, 2));
        EXPECT_EQ(ws.find_cell("B1048570")->hyperlink()->rows, 7u);
    }

    Worksheet ws("S");
    ws.set_cell("A1", Value(1.0));
    ws.ensure_cell_mut("A1048576").style_index = 3;
    ws.ensure_cell_mut("B1048575").extras_mut().fill = Fill{};
    ws.row_heights = {{1048576, 30.0}, {2, 12.0}};
    LineFormat hidden;
    hidden.hidden = true;
    ws.row_formats = {{1048576, hidden}, {1048574, hidden}};
    ASSERT_TRUE(ws.insert_rows(1, 2));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A3", ""}}));
    EXPECT_EQ(ws.row_heights, (std::unordered_map<uint32_t, double>{{4, 12.0}}));
    EXPECT_EQ(ws.row_formats, (std::unordered_map<uint32_t, LineFormat>{{1048576, hidden}}));
    EXPECT_EQ(ws.used_range().max_row, 3u);
}

TEST(ShiftCells, PayloadTravelsWithTheCell) {
    Worksheet ws("S");
    ws.set_cell("B3", Value(2.5));
    ws.set_cell_comment("B3", Comment{"note", "me"});
    ws.find_cell_mut("B3")->style_index = 7;
    ASSERT_TRUE(ws.delete_rows(1, 1));
    ASSERT_EQ(ws.find_cell("B3"), nullptr);
    const Cell* c = ws.find_cell("B2");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::get<double>(c->value), 2.5);
    EXPECT_EQ(c->style_index, 7u);
    ASSERT_NE(c->comment(), nullptr);
    EXPECT_EQ(c->comment()->text, "note");
}

TEST(ShiftMerged, InsertGrowsStraddlingRanges) {
    Worksheet ws("S");
    ws.merged_ranges = {"A1:B3", "A5:B6", "A1:B1", "X", "C3"};
    ASSERT_TRUE(ws.insert_rows(2, 1));
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A1:B4", "A6:B7", "A1:B1", "X", "C4:C4"}));
}

TEST(ShiftMerged, DeleteDropsEveryRangeMeetingTheBand) {
    Worksheet ws("S");
    ws.merged_ranges = {"A1:B3", "A2:B2", "A5:B6", "a1:b1", "X", "A3:B8"};
    ASSERT_TRUE(ws.delete_rows(2, 1));
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A4:B5", "A1:B1", "X", "A2:B7"}));
}

TEST(ShiftMerged, ColumnsAndReversedRanges) {
    Worksheet ws("S");
    // A range written bottom-to-top still covers the deleted row and must go with it.
    ws.merged_ranges = {"A5:B1", "A9:B7"};
    ASSERT_TRUE(ws.delete_rows(3, 2));
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A7:B5"}));

    Worksheet cols("S");
    cols.merged_ranges = {"C1:A2", "B1:B2", "D1:E1"};
    ASSERT_TRUE(cols.delete_cols(2, 1));
    EXPECT_EQ(cols.merged_ranges, (std::vector<std::string>{"C1:D1"}));
    ASSERT_TRUE(cols.insert_cols(1, 2));
    EXPECT_EQ(cols.merged_ranges, (std::vector<std::string>{"E1:F1"}));
}

TEST(ShiftSizes, RowHeightsAndColumnWidths) {
    Worksheet ws("S");
    ws.row_heights = {{2, 30.0}, {5, 12.0}};
    ws.column_widths = {{5, 9.0}};
    ASSERT_TRUE(ws.insert_rows(3, 2));
    EXPECT_EQ(ws.row_heights, (std::unordered_map<uint32_t, double>{{2, 30.0}, {7, 12.0}}));
    EXPECT_EQ(ws.column_widths, (std::unordered_map<uint32_t, double>{{5, 9.0}}));

    ws.row_heights = {{2, 30.0}, {5, 12.0}};
    ASSERT_TRUE(ws.delete_rows(4, 2));
    EXPECT_EQ(ws.row_heights, (std::unordered_map<uint32_t, double>{{2, 30.0}}));

    ASSERT_TRUE(ws.delete_cols(1, 2));
    EXPECT_EQ(ws.column_widths, (std::unordered_map<uint32_t, double>{{3, 9.0}}));

    // Row and column formats move as heights and widths do.
    using Formats = std::unordered_map<uint32_t, LineFormat>;
    const LineFormat hidden{std::nullopt, 1, true};
    ws.row_formats = {{2, hidden}, {5, hidden}};
    ws.column_formats = {{4, hidden}};
    ASSERT_TRUE(ws.insert_rows(3, 2));
    EXPECT_EQ(ws.row_formats, (Formats{{2, hidden}, {7, hidden}}));
    ASSERT_TRUE(ws.delete_rows(7, 1));
    EXPECT_EQ(ws.row_formats, (Formats{{2, hidden}}));
    ASSERT_TRUE(ws.insert_cols(1, 1));
    EXPECT_EQ(ws.column_formats, (Formats{{5, hidden}}));
}

TEST(ShiftTables, TableReachingTheIndexBlocks) {
    Worksheet ws = sheet_with({"A20"});
    add_table(ws, "T", "A5:C10");
    EXPECT_TRUE(ws.insert_rows(11, 1));
    EXPECT_TRUE(ws.delete_cols(4, 1));
    expect_table_hit(ws.insert_rows(10, 1), "A5:C10");
    expect_table_hit(ws.insert_rows(1, 1), "A5:C10");
    expect_table_hit(ws.delete_cols(3, 1), "A5:C10");
    // Amount 0 still runs the table check.
    expect_table_hit(ws.insert_rows(5, 0), "A5:C10");
    EXPECT_TRUE(ws.insert_rows(11, 0));
    // Bad arguments are reported before tables.
    expect_invalid(ws.insert_rows(0, 1), "row index 0 out of bounds; must be >= 1");
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A21", "A20"}}));
}

TEST(ShiftTables, ReversedTableRangeStillBlocks) {
    Worksheet ws = sheet_with({"A20"});
    add_table(ws, "Ok", "unparsed");
    add_table(ws, "T", "C10:A5");
    expect_table_hit(ws.insert_rows(8, 1), "C10:A5");
    expect_table_hit(ws.delete_cols(2, 1), "C10:A5");
    EXPECT_TRUE(ws.insert_rows(11, 1));
    EXPECT_TRUE(ws.insert_cols(4, 1));
}

TEST(ShiftClash, TwoKeysForOneCellRefuseAndChangeNothing) {
    Worksheet ws = sheet_with({"a1", "A1", "B9"});
    ws.merged_ranges = {"A5:B6"};
    ws.row_heights = {{9, 3.0}};
    const auto before = snapshot(ws);
    expect_invalid(ws.insert_rows(5, 1), "row shift would store cells \"A1\" and \"a1\" under one key \"A1\"");
    EXPECT_EQ(snapshot(ws), before);
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A5:B6"}));
    EXPECT_EQ(ws.row_heights, (std::unordered_map<uint32_t, double>{{9, 3.0}}));

    // Both in the deleted band: nothing is lost that the edit did not mean to drop.
    ASSERT_TRUE(ws.delete_rows(1, 1));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"B8", "B9"}}));
}

TEST(MoveRange, OverlappingMoveDiscardsWhatItCovers) {
    Worksheet ws = sheet_with({"A1", "B2", "C3", "D4"});
    ASSERT_TRUE(ws.move_range("A1:B2", 1, 1, false));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"B2", "A1"}, {"C3", "B2"}, {"D4", "D4"}}));
    EXPECT_EQ(ws.used_range().min_row, 2u);  // the cached bounds follow the move
}

TEST(MoveRange, DestinationClearedEvenWhereSourceIsEmpty) {
    Worksheet ws = sheet_with({"A1", "D2", "Total"});
    ws.merged_ranges = {"A1:B1"};
    ASSERT_TRUE(ws.move_range("A1:B2", 0, 2, false));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"C1", "A1"}, {"Total", "Total"}}));
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A1:B1"}));  // a move leaves merges alone
}

TEST(MoveRange, ReversedRangeAndZeroMove) {
    Worksheet ws = sheet_with({"A1", "B2"});
    ASSERT_TRUE(ws.move_range("B2:A1", 0, 1, false));
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"B1", "A1"}, {"C2", "B2"}}));

    Worksheet lower = sheet_with({"a1", "b1"});
    ASSERT_TRUE(lower.move_range("A1:A1", 0, 0, false));
    EXPECT_EQ(snapshot(lower), (std::map<std::string, std::string>{{"A1", "a1"}, {"b1", "b1"}}));
}

TEST(MoveRange, Refusals) {
    Worksheet ws = sheet_with({"A1"});
    const auto before = snapshot(ws);
    auto tr = ws.move_range("not a range", 0, 0, true);
    ASSERT_FALSE(tr);
    EXPECT_EQ(tr.error().kind, ErrorKind::TranslateUnsupported);
    expect_invalid(ws.move_range("A1:", 0, 0, false), "move_range cell_range \"A1:\" is not a valid A1 range");
    expect_invalid(ws.move_range("A1", -1, 0, false), "move_range would push cells out of bounds (row/col < 1) for \"A1\"");
    expect_invalid(ws.move_range("XFD1", 0, 1, false),
                   "move_range would push cells past Excel limits (max row=1048576, max col=16384) for \"XFD1\"");
    expect_invalid(ws.move_range("A1048576", 1, 0, false),
                   "move_range would push cells past Excel limits (max row=1048576, max col=16384) for \"A1048576\"");
    expect_invalid(ws.move_range("A1", kI64Max, 0, false),
                   "move_range row offset 9223372036854775807 causes overflow for \"A1\"");
    // Both overflow: the column sum is computed first.
    expect_invalid(ws.move_range("A1", kI64Max, kI64Max, false),
                   "move_range column offset 9223372036854775807 causes overflow for \"A1\"");
    expect_invalid(ws.move_range("B2", 0, -2, false), "move_range would push cells out of bounds (row/col < 1) for \"B2\"");
    EXPECT_EQ(snapshot(ws), before);
}

TEST(MoveRange, TablesInSourceOrDestination) {
    Worksheet ws = sheet_with({"A1"});
    add_table(ws, "Beside", "E1:F2");
    add_table(ws, "Below", "A10:C12");
    EXPECT_TRUE(ws.move_range("A1:B2", 2, 0, false));
    expect_table_hit(ws.move_range("A3:B4", 6, 0, false), "A10:C12");     // destination A9:B10
    expect_table_hit(ws.move_range("B11", -8, 0, false), "A10:C12");      // source
    expect_table_hit(ws.move_range("C10", 0, 0, false), "A10:C12");       // even a zero move
    // Source is reported before destination.
    expect_table_hit(ws.move_range("E2:F2", 9, -4, false), "E1:F2");
    EXPECT_EQ(snapshot(ws), (std::map<std::string, std::string>{{"A3", "A1"}}));
}

TEST(MoveRange, ReversedTableRangeStillBlocks) {
    Worksheet ws = sheet_with({"B7"});
    add_table(ws, "T", "C10:A5");
    expect_table_hit(ws.move_range("B7", 0, 5, false), "C10:A5");
    expect_table_hit(ws.move_range("E1:E2", 5, -2, false), "C10:A5");
    EXPECT_TRUE(ws.move_range("E1:E2", 0, 1, false));
}

TEST(MoveRange, TwoKeysForOneCellRefuseAndChangeNothing) {
    Worksheet ws = sheet_with({"a1", "A1", "C1"});
    const auto before = snapshot(ws);
    expect_invalid(ws.move_range("A1", 0, 2, false), "move_range would store cells \"A1\" and \"a1\" under one key \"C1\"");
    EXPECT_EQ(snapshot(ws), before);
}

// An array formula's block moves with its cell and grows or shrinks with bands inside it.
TEST(ArrayFormula, BlockFollowsEditsAndANewValueDropsIt) {
    struct Case {
        const char* what;
        Result<void> (*edit)(Worksheet&);
        const char* key;  // where the formula ends; nullptr: dropped
        ArraySpan span;
    } cases[] = {
        {"rows inserted inside", [](Worksheet& ws) { return ws.insert_rows(4, 2); }, "C3", {5, 2}},
        {"rows inserted at the cell", [](Worksheet& ws) { return ws.insert_rows(3, 1); }, "C4", {3, 2}},
        {"rows deleted inside", [](Worksheet& ws) { return ws.delete_rows(4, 1); }, "C3", {2, 2}},
        {"rows deleted across the end", [](Worksheet& ws) { return ws.delete_rows(5, 3); }, "C3", {2, 2}},
        {"the cell's row deleted", [](Worksheet& ws) { return ws.delete_rows(3, 1); }, nullptr, {}},
        {"columns inserted inside", [](Worksheet& ws) { return ws.insert_cols(4, 1); }, "C3", {3, 3}},
        {"columns deleted across the end", [](Worksheet& ws) { return ws.delete_cols(4, 5); }, "C3", {3, 1}},
        {"block moved", [](Worksheet& ws) { return ws.move_range("C3", 2, 2, false); }, "E5", {3, 2}},
    };
    for (const Case& c : cases) {
        Worksheet ws("S");
        ws.set_cell("C3", Value{Formula{"A1:B3*2"}});
        ws.find_cell_mut("C3")->extras_mut().array = ArraySpan{3, 2};
        ASSERT_TRUE(c.edit(ws)) << c.what;
        if (!c.key) {
            EXPECT_TRUE(ws.cells().empty()) << c.what;
            continue;
        }
        const Cell* cell = ws.find_cell(c.key);
        ASSERT_TRUE(cell && cell->array()) << c.what;
        EXPECT_EQ(*cell->array(), c.span) << c.what;
        ws.set_cell(c.key, Value{Formula{"1"}});
        EXPECT_EQ(ws.find_cell(c.key)->array(), nullptr) << c.what;
    }
}

// ---- hyperlink ranges ----

// The block a link covers from wherever its cell lands, and whether that still fits the grid.
TEST(LinkRange, FromItsCellOrNoneWhenItWouldLeaveTheGrid) {
    constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
    struct Case {
        uint32_t rows, cols;
        coords::CellPos at;
        std::optional<coords::RangePos> want;
    } cases[] = {
        {1, 1, {1, 1}, coords::RangePos{1, 1, 1, 1}},
        {3, 2, {2, 2}, coords::RangePos{2, 2, 3, 4}},
        {0, 0, {5, 7}, coords::RangePos{5, 7, 5, 7}},
        {2, 1, {1, 1048575}, coords::RangePos{1, 1048575, 1, 1048576}},
        {2, 1, {1, 1048576}, std::nullopt},
        {1, 2, {16383, 1}, coords::RangePos{16383, 1, 16384, 1}},
        {1, 2, {16384, 1}, std::nullopt},
        {1, 1, {1, 1048577}, std::nullopt},
        {kU32Max, kU32Max, {kU32Max, kU32Max}, std::nullopt},
    };
    for (const Case& c : cases) {
        Hyperlink link;
        link.rows = c.rows;
        link.cols = c.cols;
        EXPECT_EQ(link_range_at(link, c.at), c.want) << c.rows << "x" << c.cols << " at " << c.at.col << "," << c.at.row;
    }
}

// ---- note boxes ----

TEST(NoteBox, FollowsTheEditWhenItLiesWhollyBeyondIt) {
    // The box of a note on C5 (1-based): columns 3..5 and rows 2..6, zero-based.
    const NoteAnchor box{3, 15, 2, 10, 5, 15, 6, 4};
    const struct {
        const char* name;
        CellEdit edit;
        coords::CellPos cell;  // where C5 goes
        NoteAnchor after;
    } cases[] = {
        {"rows inserted above the box", CellEdit::shift(true, 2, 3), {3, 8}, {3, 15, 5, 10, 5, 15, 9, 4}},
        {"rows inserted at its first row", CellEdit::shift(true, 3, 1), {3, 6}, {3, 15, 3, 10, 5, 15, 7, 4}},
        {"rows inserted inside it", CellEdit::shift(true, 4, 1), {3, 6}, box},
        {"rows inserted below the cell", CellEdit::shift(true, 6, 2), {3, 5}, box},
        {"rows deleted above the box", CellEdit::shift(true, 1, -2), {3, 3}, {3, 15, 0, 10, 5, 15, 4, 4}},
        {"rows deleted reaching into it", CellEdit::shift(true, 2, -2), {3, 3}, box},
        {"columns inserted before it", CellEdit::shift(false, 1, 1), {4, 5}, {4, 15, 2, 10, 6, 15, 6, 4}},
        {"columns deleted before it", CellEdit::shift(false, 1, -2), {1, 5}, {1, 15, 2, 10, 3, 15, 6, 4}},
        {"a move takes the box along", CellEdit::move({1, 1, 3, 5}, 10, 2), {5, 15}, {5, 15, 12, 10, 7, 15, 16, 4}},
        {"a move stops the box at the first row", CellEdit::move({3, 5, 3, 5}, -4, 0), {3, 1}, {3, 15, 0, 10, 5, 15, 4, 4}},
        {"a move stops the box at the last column", CellEdit::move({3, 5, 3, 5}, 0, 16380), {16383, 5},
         {16381, 15, 2, 10, 16383, 15, 6, 4}},
        {"a move elsewhere leaves it", CellEdit::move({1, 1, 2, 2}, 0, 5), {3, 5}, box},
    };
    for (const auto& c : cases) {
        coords::CellPos cell{3, 5};
        std::optional<NoteAnchor> b = box;
        EXPECT_TRUE(follow_edit(c.edit, cell, b)) << c.name;
        EXPECT_EQ(cell, c.cell) << c.name;
        EXPECT_EQ(b, std::optional(c.after)) << c.name;
    }
    // Lines inserted before a box near the grid's edge push it only as far as the edge.
    const struct {
        CellEdit edit;
        coords::CellPos cell, after;
        NoteAnchor box, held;
    } edges[] = {
        {CellEdit::shift(true, 2, 5), {3, 1048570}, {3, 1048575}, {3, 15, 1048568, 10, 5, 15, 1048573, 4},
         {3, 15, 1048570, 10, 5, 15, 1048575, 4}},
        {CellEdit::shift(false, 1, 3), {16380, 5}, {16383, 5}, {16380, 15, 2, 10, 16382, 15, 6, 4},
         {16381, 15, 2, 10, 16383, 15, 6, 4}},
    };
    for (const auto& e : edges) {
        coords::CellPos cell = e.cell;
        std::optional<NoteAnchor> b = e.box;
        EXPECT_TRUE(follow_edit(e.edit, cell, b));
        EXPECT_EQ(cell, e.after);
        EXPECT_EQ(b, std::optional(e.held));
    }
    // A cell in a deleted band, or under a moved block, is gone; its box stays as it was.
    for (const CellEdit& gone : {CellEdit::shift(true, 5, -1), CellEdit::move({1, 1, 1, 1}, 4, 2)}) {
        coords::CellPos cell{3, 5};
        std::optional<NoteAnchor> b = box;
        EXPECT_FALSE(follow_edit(gone, cell, b));
        EXPECT_EQ(b, std::optional(box));
    }
}

TEST(NoteBox, ReplayingTheRecordedEditsFindsEveryLoadedCommentsCell) {
    // Random edits on a sheet whose comments were "loaded": each survivor's position replayed from
    // where it was loaded through the sheet's record of edits is where it now is.
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        const auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
        Worksheet ws("S");
        ws.legacy_drawing = SourceDrawing{.part = "xl/drawings/vmlDrawing1.vml"};
        for (int i = 0; i < 40; ++i) {
            const uint32_t row = pick(1, 30), col = pick(1, 12);
            ws.set_cell_comment(coords::rc_to_a1(row, col), Comment{"n", "a", coords::CellPos{col, row}});
        }
        for (int step = 0; step < 25; ++step) {
            const uint32_t at = pick(1, 30), n = pick(1, 4);
            switch (pick(0, 4)) {
            case 0: ASSERT_TRUE(ws.insert_rows(at, n)); break;
            case 1: ASSERT_TRUE(ws.delete_rows(at, n)); break;
            case 2: ASSERT_TRUE(ws.insert_cols(pick(1, 12), n)); break;
            case 3: ASSERT_TRUE(ws.delete_cols(pick(1, 12), n)); break;
            default: {
                const uint32_t r = pick(5, 30), c = pick(3, 12);
                const std::string range = coords::rc_to_a1(r - pick(0, 4), c - pick(0, 2)) + ":" + coords::rc_to_a1(r, c);
                // One pushing cells off the grid is refused, and must leave no trace.
                (void)ws.move_range(range, int64_t(pick(0, 8)) - 4, int64_t(pick(0, 4)) - 2, false);
            }
            }
        }
        // A comment set anew on a loaded one's cell keeps where that was loaded.
        if (ws.cells().size() > 0) {
            const std::string first((*ws.cells().begin()).key.str());
            ws.set_cell_comment(first, Comment{"new text", "b"});
        }
        for (const auto& [key, cell] : ws.cells()) {
            const Comment* c = cell.comment();
            ASSERT_TRUE(c && c->loaded_at);
            coords::CellPos pos = *c->loaded_at;
            std::optional<NoteAnchor> box;
            for (const CellEdit& e : ws.legacy_drawing->edits) ASSERT_TRUE(follow_edit(e, pos, box)) << seed;
            EXPECT_EQ(coords::rc_to_a1(pos.row, pos.col), std::string(key)) << "seed " << seed;
        }
    }
}
