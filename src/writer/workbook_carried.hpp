#pragma once
// What a save carries over of a loaded workbook's own part and its relationships. Relationships
// of the types the writer does not produce (theme, VBA project, pivot caches, external links,
// custom XML, ...) keep their ids and targets, and the ids handed out to the parts a save writes
// take none of theirs; the children of the workbook root that the model does not hold go back
// at their place, with the few settings a save changes brought in line, and the root declares
// and marks ignorable again the namespaces the source marked so that they use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/sheet_rel.hpp"
#include "model/workbook.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

// A kept child of the workbook root: its local name and what was read of it.
struct KeptWorkbookElement {
    std::string_view name;
    const WorkbookElement* element = nullptr;
};

struct WorkbookPlan {
    // The source's relationships that stay: all but worksheets, styles, shared strings and the
    // calculation chain; the first of each id, in source order.
    std::vector<SheetRelEntry> kept_rels;
    // The ids of the relationships this save writes, none of them the id of a kept one.
    std::string styles_id;
    std::vector<std::string> sheet_ids;
    std::string shared_strings_id;
    // Entry names of the source's calculation chain. Its relationship is dropped (its order of
    // cells is stale once cells change, and no formula is saved with a result), so the part,
    // which nothing else names, is not copied either.
    std::vector<std::string> dropped_entries;
    // The workbook's kept children that the schema names, in the order the part must hold them;
    // the others, in source order.
    std::vector<KeptWorkbookElement> elements;
    std::vector<KeptWorkbookElement> unnamed;
    // The (prefix, namespace) pairs the root declares and marks ignorable.
    const std::vector<std::pair<std::string, std::string>>* ignorable = nullptr;
};

// The plan of one save. Without a source package (`carry` false) the parts kept relationships
// name are not in the new package, so nothing is kept: styles rId1, sheets rId2..rId{N+1},
// shared strings rId{N+2}.
WorkbookPlan plan_workbook_part(const Workbook& wb, bool carry);

// The root's start tag: the main namespace as default, "r" bound to relationships, and the plan's
// ignorable namespaces with the markup-compatibility attribute that lists them.
void start_workbook_root(xml::XmlWriter& w, const WorkbookPlan& plan);

// Writes the kept children named `name`, brought in line with the save: every workbook view shows
// the sheet `active_tab`, workbook properties lose "date1904" (saves are in the 1900 date
// system), and the calculation properties ask for a full calculation on load (no formula is
// saved with a result). Returns whether there was any.
bool write_kept_workbook_elements(xml::XmlWriter& w, const WorkbookPlan& plan, std::string_view name,
                                  uint64_t active_tab);

// Writes the kept children the schema does not name that followed a child named `name` in the
// source ("": those that came first), without "date1904" like the others.
void write_workbook_elements_after(xml::XmlWriter& w, const WorkbookPlan& plan, std::string_view name);

// `element` with the attribute `attr` of every tag of local name `tag` set to `value` (added when
// absent), or removed when `value` is none. Attributes are matched by their whole name.
std::string with_attribute(std::string_view element, std::string_view tag, std::string_view attr,
                           std::optional<std::string_view> value);

}  // namespace velmo::writer
