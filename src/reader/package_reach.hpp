#pragma once
// Which parts of a package its relationships reach: from the package's own relationships
// ("_rels/.rels") through each reached part's relationships part, internal targets only. A load
// notes which entries nothing reaches, which a save copies whatever else changes; a save uses it to
// leave out what it replaced: a copied part that nothing reaches any more (an old comments part, a
// drawing whose notes are gone) may hold exactly what the user deleted.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/sheet_rel.hpp"
#include "zip/archive_reader.hpp"
#include "zip/part_names.hpp"

namespace velmo::reader {

// The part that the relationships part `rels_name` belongs to: "xl/_rels/workbook.xml.rels" ->
// "xl/workbook.xml", "_rels/.rels" -> "" (the package itself). None for a name that is not a
// relationships part.
std::optional<std::string> rels_owner(std::string_view rels_name);

// Gives the relationships held by the relationships part of that name, or null when the package
// holds no such part or it cannot be read.
using RelsOf = std::function<const std::vector<SheetRelEntry>*(std::string_view rels_name)>;

// The parts reached from the package root, by part name.
zip::PartNameSet reachable_parts(const RelsOf& rels_of);

// The relationships parts of an archive, each read and parsed once, when first asked for.
class PackageRels {
public:
    explicit PackageRels(const zip::ArchiveReader& archive) : archive_(archive) {}

    // Null when the archive holds no such part or it cannot be read: what it would reach then
    // counts as reached by nothing.
    const std::vector<SheetRelEntry>* get(std::string_view name);

private:
    const zip::ArchiveReader& archive_;
    std::unordered_map<std::string, std::optional<std::vector<SheetRelEntry>>> parsed_;
};

// Whether a package whose relationships reach `reached` reaches the entry `name`: a relationships
// part goes with the part it belongs to, the package's own with the package.
bool entry_reached(const zip::PartNameSet& reached, std::string_view name);

}  // namespace velmo::reader
