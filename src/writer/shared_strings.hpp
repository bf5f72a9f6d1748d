#pragma once
// The shared-string table of one save and its part, "xl/sharedStrings.xml".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/error.hpp"
#include "model/workbook.hpp"
#include "writer/cell_order.hpp"

namespace velmo::writer {

// Texts in order of first insertion; a text's index is the number of texts inserted before it.
// Texts are compared byte for byte. Beside plain texts the table holds string items kept whole
// (an `si` element with runs or phonetic readings); identical items share one index, and an item
// never shares one with a plain text.
class SharedStringTable {
public:
    struct Entry {
        const std::string* text;  // the plain text, or the whole `si` element of a kept item
        bool item;
    };

    // The text's index, inserting it at the end when absent.
    uint32_t insert(std::string_view text);
    std::optional<uint32_t> find(std::string_view text) const;
    // The same for a kept item, given as its `si` element.
    uint32_t insert_item(std::string_view si);
    std::optional<uint32_t> find_item(std::string_view si) const;
    // The index of a text cell's string: its kept item while it has one, else its text; inserted at
    // the end when absent. `inserted` tells which.
    uint32_t insert_cell(const Text& text, const KeptValue* kept, bool& inserted);
    // The index of a text cell's string, as insert_cell gave it.
    std::optional<uint32_t> find_cell(const Cell& cell) const;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    bool has_items() const { return !items_.empty(); }
    // Entries in index order; each points at a key of an index, which never moves.
    const std::vector<Entry>& entries() const { return entries_; }

private:
    using Index = std::unordered_map<std::string, uint32_t, StringHash, std::equal_to<>>;
    uint32_t insert_into(Index& index, std::string_view key, bool item);

    Index texts_;
    Index items_;
    std::vector<Entry> entries_;
    // The index of each long text and kept item met, by where its characters are: the cells that share
    // one (every cell that read one shared string) find it without hashing it again.
    std::unordered_map<const void*, uint32_t> known_;
};

// The table of every String value of the workbook, sheets in workbook order and each sheet's
// cells in `orders` (order_workbook_cells). InvalidFormat, naming the sheet and cell where it
// first occurs, for a text that is not UTF-8.
Result<SharedStringTable> build_shared_strings(const Workbook& wb, const std::vector<SheetCellOrder>& orders);

// The part's XML. A text that starts or ends with white space is marked to be kept as it is;
// characters XML cannot carry are written as hex escapes, kept items as they were read.
// Written only when the table is not empty.
Result<std::string> write_shared_strings_xml(const SharedStringTable& table);

}  // namespace velmo::writer
