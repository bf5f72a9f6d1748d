#pragma once
// Part names compared the way packages compare them: ASCII letters without regard to case, a
// leading "/" ignored and %XX escapes decoded, so "/XL/%73tyles.xml" and "xl/styles.xml" name
// one part. The reader finds entries and the writer decides what it replaces by this one rule,
// so that a load and a save agree on which entry holds which part.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>

namespace velmo::zip {

bool same_part_name(std::string_view a, std::string_view b);

// Hash and equality by part name, for containers keyed by entry names; both accept any text
// without building its normal form.
struct PartNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
};
struct PartNameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return same_part_name(a, b); }
};

// A set of part names, each held as first spelled.
class PartNameSet {
public:
    // The form all names of one part share: no leading "/", escapes decoded, lower case.
    static std::string normalize(std::string_view name);
    // Adds a name; false when the set already holds the part it names.
    bool add(std::string_view name) { return names_.emplace(name).second; }
    bool contains(std::string_view name) const { return names_.contains(name); }
    auto begin() const { return names_.begin(); }
    auto end() const { return names_.end(); }

private:
    std::unordered_set<std::string, PartNameHash, PartNameEqual> names_;
};

}  // namespace velmo::zip
