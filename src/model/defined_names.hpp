#pragma once
// Defined names and the print-setting text helpers.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/ascii.hpp"
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

// An insertion-ordered collection in which a name occurs at most once. Applications take "Total"
// and "TOTAL" for one name, so a name entered replaces any entry equal to it without regard to
// ASCII case; look-ups by a caller's key stay exact.
class DefinedNames {
public:
    // Reader insertion: replaces the entry of the same name (spelling included) in place, or
    // appends. No reserved-name check.
    void insert(DefinedName name);
    // API insertion: refuses names beginning with "_xlnm.", otherwise as insert.
    Result<void> add(DefinedName name);
    // Removes the entry with that exact name; false when there is none.
    bool remove(std::string_view name);
    const DefinedName* find(std::string_view name) const;
    DefinedName* find_mut(std::string_view name);
    // The entry that is the same name, without regard to ASCII case.
    const DefinedName* find_same(std::string_view name) const;
    std::vector<std::string> names() const;

    const std::vector<DefinedName>& items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

private:
    // Hash and equality that fold ASCII capitals, so the index finds a name in any case.
    struct FoldedHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept;
    };
    struct FoldedEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept { return ascii_iequal(a, b); }
    };
    std::vector<DefinedName> items_;
    // Position of each name in items_, so that a file with many names does not cost their square.
    std::unordered_map<std::string, size_t, FoldedHash, FoldedEqual> index_;
};

namespace defined_names {

// "'" + title with every "'" doubled + "'"; every title is quoted.
std::string quote_sheet_title(std::string_view title);
// Splits at commas outside single quotes ("''" inside quotes stays inside); quotes kept, pieces trimmed of
// white space. A piece ended by a comma is kept even when empty; the last piece only when not empty.
std::vector<std::string> split_top_level_csv(std::string_view text);
// Each piece trimmed and written "{quoted_title}!{piece}", joined with ",".
std::string compose_print_area(std::string_view quoted_title, const std::vector<std::string>& pieces);
// The print-area formula of a sheet from its (unquoted) title and stored print area: a stored text without
// a comma is prefixed as is (untrimmed); otherwise it is split and composed piece by piece as above.
std::string compose_print_area(std::string_view title, std::string_view stored);
// Drops the sheet prefix (up to the last "!") of each range of a comma list; joined with ",".
std::string strip_sheet_prefix_multi(std::string_view text);
// coords::make_absolute_range of each range of a comma list (a single range is passed untrimmed).
std::string make_absolute_area_range(std::string_view text);

}  // namespace defined_names
}  // namespace velmo
