#pragma once
#include <optional>
#include <string>

namespace velmo {

// One relationship of a worksheet's relationships part.
struct SheetRelEntry {
    std::string id;
    std::string rel_type;  // the whole Type attribute
    std::string target;    // as written
    std::optional<std::string> target_mode;
    bool operator==(const SheetRelEntry&) const = default;
};

}  // namespace velmo
