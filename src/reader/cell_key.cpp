#include "reader/cell_key.hpp"

#include "model/coords.hpp"

namespace velmo::reader {

std::optional<std::string> attached_cell_key(std::string_view ref) {
    const auto first = ref.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    ref.remove_prefix(first);
    ref = ref.substr(0, ref.find_first_of(" \t\r\n"));
    if (ref.find(':') == std::string_view::npos) {
        // A text that names no cell would become a key the workbook could never be saved with.
        if (!coords::parse_a1(ref)) return std::nullopt;
        return std::string(ref);
    }
    const auto range = coords::parse_range(ref);
    if (!range) return std::nullopt;
    const auto top_left = range->ordered();
    return coords::rc_to_a1(top_left.row1, top_left.col1);
}

}  // namespace velmo::reader
