#include "model/table.hpp"

#include <utility>

namespace velmo {

Table Table::make(std::string display_name, std::string range) {
    Table t;
    t.name = display_name;
    t.display_name = std::move(display_name);
    t.ref_range = std::move(range);
    return t;
}

bool table_names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace velmo
