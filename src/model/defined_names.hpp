#pragma once
// Defined names and the print-setting text helpers.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"

namespace velmo {

struct DefinedName {
    std::string name;
    std::string value;
    std::optional<std::string> comment;
    bool hidden = false;

    static DefinedName make(std::string name, std::string value) { return {std::move(name), std::move(value), {}, false}; }
    bool operator==(const DefinedName&) const = default;
};

// An insertion-ordered collection in which a name occurs at most once (compared byte for byte).
class DefinedNames {
public:
    // Reader insertion: replaces the entry with a byte-equal name in place, or appends. No reserved-name check.
    void insert(DefinedName name);
    // API insertion: refuses names beginning with "_xlnm.", otherwise as insert.
    Result<void> add(DefinedName name);
    // Removes the entry with that exact name; false when there is none.
    bool remove(std::string_view name);
    const DefinedName* find(std::string_view name) const;
    DefinedName* find_mut(std::string_view name);
    std::vector<std::string> names() const;

    const std::vector<DefinedName>& items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

private:
    std::vector<DefinedName> items_;
};

namespace defined_names {

// "'" + title with every "'" doubled + "'"; every title is quoted.
std::string quote_sheet_title(std::string_view title);
// Splits at commas outside single quotes; pieces trimmed; see the implementation for the empty-piece rule.
std::vector<std::string> split_top_level_csv(std::string_view text);
// Each piece trimmed and written "{quoted_title}!{piece}", joined with ",".
std::string compose_print_area(std::string_view quoted_title, const std::vector<std::string>& pieces);

}  // namespace defined_names
}  // namespace velmo
