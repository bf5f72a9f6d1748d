#pragma once
#include <optional>
#include <string>

namespace velmo {

struct Hyperlink {
    std::string target;  // external target; empty for a link to a place inside the workbook
    std::optional<std::string> location;
    std::optional<std::string> tooltip;
    std::optional<std::string> display;
    bool operator==(const Hyperlink&) const = default;
};

}  // namespace velmo
