// The workbook part with its relationships (sheet list, kept children, then defined names). Input: the
// workbook part, a NUL byte, the relationships part.

#include <cstdint>

#include "fuzz_support.hpp"
#include "model/workbook.hpp"
#include "reader/defined_names_reader.hpp"
#include "reader/workbook_elements.hpp"
#include "reader/workbook_rels.hpp"
#include "xml/tokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [workbook_xml, rels_xml] = velmo::fuzz::split_at_nul(velmo::fuzz::as_view(data, size));
    auto sheets = velmo::reader::parse_sheet_refs(workbook_xml, rels_xml);
    const uint64_t count = sheets ? sheets->sheets.size() : 3;
    // Each kept child stands alone as one whole element, to be put back into a part of our own.
    if (auto kept = velmo::reader::parse_workbook_elements(workbook_xml)) {
        for (const auto& [element, follows] : kept->elements) {
            FUZZ_CHECK(follows.empty() || velmo::reader::workbook_child_rank(follows));
            velmo::xml::Tokenizer tok(element);
            velmo::xml::Event ev;
            while (tok.next(ev)) FUZZ_CHECK(tok.depth() > 0 || ev.offset + ev.raw.size() == element.size());
            FUZZ_CHECK(tok.ok());
        }
    }
    auto names = velmo::reader::parse_workbook_defined_names(workbook_xml, count);
    if (!names) return 0;
    for (const auto& a : names->print.areas) FUZZ_CHECK(a.sheet < count);
    for (const auto& t : names->print.titles) FUZZ_CHECK(t.sheet < count);
    for (const auto& n : names->sheet_names) FUZZ_CHECK(n.sheet < count);

    velmo::Workbook wb;
    for (uint64_t i = 0; i < count; ++i) wb.sheets.emplace_back("Sheet" + std::to_string(i + 1));
    velmo::reader::apply_defined_names(wb, std::move(*names));
    return 0;
}
