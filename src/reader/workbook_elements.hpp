#pragma once
// The children of the workbook part's root that the model does not hold (file version, workbook
// properties, protection, views, calculation properties, pivot caches, external references,
// extensions, revision and markup-compatibility content, ...), kept as the source's XML for a
// save to write back at their place.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/error.hpp"
#include "model/workbook.hpp"

namespace velmo::reader {

// The children of the workbook root in the order the part must hold them. "sheets" and
// "definedNames" are built from the model; every other one is kept from the source.
inline constexpr std::array<std::string_view, 19> kWorkbookChildOrder = {
    "fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews", "sheets", "functionGroups",
    "externalReferences", "definedNames", "calcPr", "oleSize", "customWorkbookViews", "pivotCaches", "smartTagPr",
    "smartTagTypes", "webPublishing", "fileRecoveryPr", "webPublishObjects", "extLst"};

// The position of a child's local name in kWorkbookChildOrder; none for a name the schema does not
// place there.
std::optional<std::size_t> workbook_child_rank(std::string_view local_name);

struct WorkbookElements {
    std::vector<WorkbookElement> elements;
    // The (prefix, namespace) pairs the kept children and defined names use among those the root's
    // markup-compatibility "Ignorable" list names, in the list's order; the prefix is the root's.
    std::vector<std::pair<std::string, std::string>> ignorable;
};

// The kept children of the workbook root, each as its source XML (capture_raw_element), in
// document order: of the children the schema names, the first of each name but every
// "fileRecoveryPr" (the one child that may repeat); every child the schema does not name. A
// child that does not decode, that the document ends inside, that uses a prefix bound nowhere, or
// that holds a "sheet" or "definedName" (which the model reads wherever they stand) is left out.
// Fails only with an XML error.
Result<WorkbookElements> parse_workbook_elements(std::string_view workbook_xml);

}  // namespace velmo::reader
