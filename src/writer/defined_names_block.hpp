#pragma once
// The `definedNames` element of the workbook part: each sheet's print area and print titles as
// the reserved names "_xlnm.Print_Area" and "_xlnm.Print_Titles", the model's workbook-scope and
// sheet-scope names, then the elements the reader kept verbatim.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/defined_names.hpp"
#include "model/error.hpp"
#include "model/workbook.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

// The value of a sheet's "_xlnm.Print_Titles": "'T'!rows", "'T'!cols" or both joined by ",";
// none when neither is set.
std::optional<std::string> print_titles_value(const Worksheet& ws);

// Writes the `definedNames` element into `w` (the workbook part, after `sheets`), or nothing at
// all when there is no print setting, no auto filter, no name and no verbatim element. Order: per
// sheet its print area, its print titles and a filter name it lacks (filter_database.hpp);
// workbook-scope names; per sheet its sheet-scope names; the verbatim texts, appended byte for
// byte but for the filter names brought in line with their filters, and but for a text whose name
// (ASCII case ignored) a model name of its scope or a later text defines again, which is left
// out. InvalidFormat naming the sheet and the name or print
// setting when a text holds a character XML cannot carry; nothing is written then.
Result<void> write_defined_names_block(xml::XmlWriter& w, const std::vector<Worksheet>& sheets,
                                       const DefinedNames& workbook_names,
                                       const std::vector<std::string>& raw_defined_names);

// <definedName name="{name}" localSheetId="{p}" hidden="1"?>{value}</definedName>
void write_reserved_defined_name(xml::XmlWriter& w, std::string_view name, size_t sheet_position, std::string_view value,
                                 bool hidden = false);

// <definedName name localSheetId? hidden="1"? comment?>{value}</definedName>; localSheetId only
// for a sheet-scope name.
void write_modeled_defined_name(xml::XmlWriter& w, const DefinedName& name, std::optional<size_t> sheet_position);

}  // namespace velmo::writer
