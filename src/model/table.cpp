#include "model/table.hpp"

#include <utility>

#include "model/ascii.hpp"

namespace velmo {

Table Table::make(std::string display_name, std::string range) {
    Table t;
    t.name = display_name;
    t.display_name = std::move(display_name);
    t.ref_range = std::move(range);
    return t;
}

bool table_names_equal(std::string_view a, std::string_view b) { return ascii_iequal(a, b); }

}  // namespace velmo
