#pragma once
// Table parts: every table of a save gets a part number (1..T over all sheets in order, naming
// "xl/tables/table{k}.xml") and a table id (the `id` written inside the part). A table unchanged
// since loading is written back from the bytes it was read from; every other table is
// regenerated.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/error.hpp"
#include "model/table.hpp"
#include "model/workbook.hpp"

namespace velmo::writer {

// What a save does with one table.
struct TablePlan {
    uint64_t part_number = 0;  // k of "xl/tables/table{k}.xml", 1-based, ascending over the whole workbook
    uint64_t id = 0;           // the id written in (or already inside) the part
    bool verbatim = false;     // written from its retained bytes
};

struct TableNumbering {
    std::vector<std::vector<TablePlan>> sheets;  // per sheet, per table in order
    uint64_t table_count = 0;                    // T

    // The part numbers of one sheet's tables, in table order (for settle_sheet_rels).
    std::vector<uint64_t> part_numbers(size_t sheet_index) const;
    // Every table's part number, ascending.
    std::vector<uint64_t> all_part_numbers() const;
};

// True when the table is written from retained bytes that have not been modified.
bool is_verbatim(const SheetTable& t);

// Numbers the tables of every sheet. Part numbers run 1, 2, ... in sheet and table order, passing
// over those in `taken`. A verbatim table keeps the id it was read with; every other table takes,
// in sheet and table order, the smallest positive number that no verbatim table holds and no
// earlier table took (64-bit, so it can never wrap onto a number in use). Computed afresh at every
// save; the model is not changed.
TableNumbering assign_table_ids(const std::vector<Worksheet>& sheets, const std::unordered_set<uint64_t>& taken = {});

// The part numbers k whose "xl/tables/table{k}.xml" the source package of `wb` holds as something
// else than a table part (one that no worksheet's table relationship named at load, such as an XML
// map's single cells): a save keeps such a part like any other entry, so no table takes its name.
std::unordered_set<uint64_t> table_numbers_taken(const Workbook& wb);

// "xl/tables/table{k}.xml", and its relationships part "xl/tables/_rels/table{k}.xml.rels".
std::string table_part_name(uint64_t part_number);
std::string table_rels_part_name(uint64_t part_number);

// The part of a regenerated table with `id` written in it; an empty `name` is written as the
// display name. InvalidFormat "table \"T\" has zero columns, cannot serialize" for a table without
// columns, and InvalidFormat naming the table when a text holds a character XML cannot carry.
Result<std::string> serialize_table_xml(const Table& table, uint64_t id);

// The bytes of a table's part under `plan`: the retained bytes when verbatim, else
// serialize_table_xml.
Result<std::string> table_part_bytes(const SheetTable& table, const TablePlan& plan);
// The same with the columns named as the header row of `sheet` (the table's worksheet) shows them
// (table::columns_named_by_header): a verbatim part gets only those names rewritten, and keeps
// its bytes when they agree.
Result<std::string> table_part_bytes(const Worksheet& sheet, const SheetTable& table, const TablePlan& plan);

}  // namespace velmo::writer
