// The styles part reader, and the temporal classification of what it read.

#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "reader/sheet.hpp"
#include "reader/styles.hpp"
#include "xml/tokenizer.hpp"

namespace {

// What a font or fill carries is whole elements, to be put back into a part of our own.
bool whole_elements(std::string_view xml) {
    velmo::xml::Tokenizer tok(xml, velmo::xml::TokenizerOptions{.fragment = true});
    velmo::xml::Event ev;
    while (tok.next(ev)) {
    }
    return tok.ok() && tok.depth() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto styles = velmo::reader::parse_styles(velmo::fuzz::as_view(data, size));
    if (!styles) return 0;
    const auto kinds = velmo::reader::temporal_kinds_by_style(*styles);
    FUZZ_CHECK(kinds.size() == styles->cell_xfs.size());
    for (const auto& xf : styles->cell_xfs) FUZZ_CHECK(xf.children < styles->xf_children.size());
    for (const auto& font : styles->fonts) FUZZ_CHECK(whole_elements(font.children_xml));
    for (const auto& fill : styles->fills) FUZZ_CHECK(whole_elements(fill.gradient_xml));
    for (const auto& dxf : styles->dxfs) {
        FUZZ_CHECK(whole_elements(dxf.xml));
        if (dxf.font) FUZZ_CHECK(whole_elements(dxf.font->children_xml));
        if (dxf.fill) FUZZ_CHECK(whole_elements(dxf.fill->gradient_xml));
    }
    return 0;
}
