// The styles part reader, and the temporal classification of what it read.

#include <cstdint>

#include "fuzz_support.hpp"
#include "reader/sheet.hpp"
#include "reader/styles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto styles = velmo::reader::parse_styles(velmo::fuzz::as_view(data, size));
    if (!styles) return 0;
    const auto kinds = velmo::reader::temporal_kinds_by_style(*styles);
    FUZZ_CHECK(kinds.size() == styles->cell_xfs.size());
    for (const auto& xf : styles->cell_xfs) FUZZ_CHECK(xf.children < styles->xf_children.size());
    return 0;
}
