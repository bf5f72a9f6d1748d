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
// Texts are compared byte for byte.
class SharedStringTable {
public:
    // The text's index, inserting it at the end when absent.
    uint32_t insert(std::string_view text);
    std::optional<uint32_t> find(std::string_view text) const;

    size_t size() const { return texts_.size(); }
    bool empty() const { return texts_.empty(); }
    // Texts in index order; each points at a key of the index, which never moves.
    const std::vector<const std::string*>& texts() const { return texts_; }

private:
    std::unordered_map<std::string, uint32_t, StringHash, std::equal_to<>> index_;
    std::vector<const std::string*> texts_;
};

// The table of every String value of the workbook, sheets in workbook order and each sheet's
// cells in `orders` (order_workbook_cells). InvalidFormat, naming the sheet and cell where it
// first occurs, for a text that XML cannot carry.
Result<SharedStringTable> build_shared_strings(const Workbook& wb, const std::vector<SheetCellOrder>& orders);

// The part's XML. A text that starts or ends with white space is marked to be kept as it is.
// Written only when the table is not empty.
Result<std::string> write_shared_strings_xml(const SharedStringTable& table);

}  // namespace velmo::writer
