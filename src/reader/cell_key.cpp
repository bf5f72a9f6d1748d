#include "reader/cell_key.hpp"

#include "model/coords.hpp"

namespace velmo::reader {

namespace {

using coords::kMaxCol;
using coords::kMaxRow;

// The first item of a reference list, without the white space around it.
std::string_view first_item(std::string_view ref) {
    const auto first = ref.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    ref.remove_prefix(first);
    return ref.substr(0, ref.find_first_of(" \t\r\n"));
}

}  // namespace

std::optional<std::string> attached_cell_key(std::string_view ref) {
    ref = first_item(ref);
    if (ref.empty()) return std::nullopt;
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

std::optional<AttachedRange> attached_range(std::string_view ref) {
    ref = first_item(ref);
    const size_t colon = ref.find(':');
    const auto range = colon == std::string_view::npos ? std::nullopt : coords::parse_range(ref);
    if (!range) {
        auto key = attached_cell_key(ref.substr(0, colon));
        if (!key) return std::nullopt;
        return AttachedRange{std::move(*key)};
    }
    const auto box = range->ordered();
    AttachedRange out{coords::rc_to_a1(box.row1, box.col1)};
    if (box.row2 <= kMaxRow && box.col2 <= kMaxCol) {
        out.rows = box.row2 - box.row1 + 1;
        out.cols = box.col2 - box.col1 + 1;
    }
    return out;
}

}  // namespace velmo::reader
