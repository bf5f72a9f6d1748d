#pragma once
// The definedName elements of "xl/workbook.xml", sorted into what the model holds: each sheet's
// print area and print titles, sheet-scope and workbook-scope names, and, for everything the
// model does not represent, the element's XML text so the writer can put it back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/defined_names.hpp"
#include "model/error.hpp"
#include "model/workbook.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

struct PrintArea {
    std::uint64_t sheet = 0;
    std::string area;  // absolute, without sheet prefixes ("$A$1:$B$2,$D$4")
};

struct PrintTitles {
    std::uint64_t sheet = 0;
    std::optional<std::string> rows;  // "$1:$2"
    std::optional<std::string> cols;  // "$A:$B"; at least one of the two is present
};

struct PrintDefinedNames {
    std::vector<PrintArea> areas;
    std::vector<PrintTitles> titles;
};

struct SheetDefinedName {
    std::uint64_t sheet = 0;
    DefinedName name;
};

// Every list in document order. Every sheet index, print settings included, is below the sheet
// count the pass was given: a print setting addressed to a sheet that does not exist is kept
// as a raw text instead, so that a save does not lose it.
struct WorkbookDefinedNames {
    PrintDefinedNames print;
    std::vector<SheetDefinedName> sheet_names;
    DefinedNames workbook_names;
    std::vector<std::string> raw;
};

struct DefinedNameScope {
    enum class Kind { Workbook, Sheet, Raw };
    Kind kind = Kind::Raw;
    std::uint64_t sheet = 0;  // for Sheet

    static DefinedNameScope workbook() { return {Kind::Workbook, 0}; }
    static DefinedNameScope in_sheet(std::uint64_t index) { return {Kind::Sheet, index}; }
    static DefinedNameScope raw() { return {Kind::Raw, 0}; }
    bool operator==(const DefinedNameScope&) const = default;
};

// One pass over the workbook part; `sheet_count` is the number of sheets of the sheet list.
// Fails with an XML error on malformed markup, with InvalidFormat when the document ends inside
// a definedName element or a kept CDATA section or raw element is not UTF-8.
Result<WorkbookDefinedNames> parse_workbook_defined_names(std::string_view xml, std::uint64_t sheet_count);

// How a definedName tag (Start or Empty) that is not a print setting is kept: a plain name with
// only name, localSheetId, comment, hidden and flags stated off ("false" or "0") is a workbook- or
// sheet-scope name; anything else (a reserved name, another attribute, a flag set, no name, an
// unusable or out-of-range sheet index) is raw.
Result<DefinedNameScope> classify_defined_name_scope(const xml::Event& tag, std::uint64_t sheet_count);

// The text of the element whose start tag `tok` has just returned, untrimmed, up to its end tag:
// texts unescaped, CDATA taken literally, comments and nested tags left out (nested texts kept).
// `tok` must keep white space (trim_text off) for the text to come back whole.
Result<std::string> read_defined_name_text(xml::Tokenizer& tok);

// A localSheetId that names a sheet position: an optional "+", then decimal digits, within 64 bits.
std::optional<std::uint64_t> parse_sheet_index(std::string_view text);

// Stores the result in a loaded workbook: print areas, then print titles, then sheet-scope names
// (an index naming no worksheet is dropped), then the workbook-scope names and the raw texts.
void apply_defined_names(Workbook& wb, WorkbookDefinedNames names);

}  // namespace velmo::reader
