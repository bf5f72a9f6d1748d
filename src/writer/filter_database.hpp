#pragma once
// The hidden sheet-scope name "_xlnm._FilterDatabase" that desktop applications write beside a
// sheet's auto filter, and that some read the filter from. A save keeps it in step with the
// filter: a name stays as loaded until the filter is set or cleared from the API; then a name
// whose range is no longer the filter's is brought in line and a cleared filter loses its name.
// A filter without a name gets one.

#include <optional>
#include <string>
#include <vector>

#include "model/workbook.hpp"

namespace velmo::writer {

inline constexpr std::string_view kFilterDatabase = "_xlnm._FilterDatabase";

struct FilterNames {
    // Per kept defined-name element, in order: none to write it as kept, else the text to write
    // instead ("" leaves it out).
    std::vector<std::optional<std::string>> kept;
    // Per sheet: the value of the name to add for a filter that has none.
    std::vector<std::optional<std::string>> added;
};

// What the defined-names block writes of the sheets' filter names, given the elements the reader
// kept (each one whole definedName element).
FilterNames plan_filter_names(const std::vector<Worksheet>& sheets, const std::vector<std::string>& kept);

}  // namespace velmo::writer
