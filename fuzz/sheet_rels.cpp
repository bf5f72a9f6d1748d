// A worksheet's relationships part, and resolving each target against a sheet path.

#include <cstdint>

#include "fuzz_support.hpp"
#include "reader/sheet_rels.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::reader;
    auto rels = parse_sheet_rels(velmo::fuzz::as_view(data, size));
    if (!rels) return 0;
    for (const auto& rel : *rels) {
        (void)resolve_sheet_target("xl/worksheets/sheet1.xml", rel.target);
        (void)resolve_sheet_target("sheet.xml", rel.target);
        (void)relation_target_for_id(*rels, rel.id);
    }
    (void)relation_targets_for_type(*rels, kTableRelType);
    return 0;
}
