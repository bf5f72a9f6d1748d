#include "reader/carried_elements.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "reader/kept_namespaces.hpp"
#include "reader/raw_element.hpp"
#include "xml/attribute_value.hpp"

namespace velmo::reader {

namespace {

struct NamedChild {
    std::string_view name;
    SheetChild kind;
};

constexpr std::array kChildren{
    NamedChild{"sheetPr", SheetChild::SheetPr},
    NamedChild{"dimension", SheetChild::Dimension},
    NamedChild{"sheetViews", SheetChild::SheetViews},
    NamedChild{"sheetFormatPr", SheetChild::SheetFormatPr},
    NamedChild{"cols", SheetChild::Cols},
    NamedChild{"sheetData", SheetChild::SheetData},
    NamedChild{"sheetCalcPr", SheetChild::SheetCalcPr},
    NamedChild{"sheetProtection", SheetChild::SheetProtection},
    NamedChild{"protectedRanges", SheetChild::ProtectedRanges},
    NamedChild{"scenarios", SheetChild::Scenarios},
    NamedChild{"autoFilter", SheetChild::AutoFilter},
    NamedChild{"sortState", SheetChild::SortState},
    NamedChild{"dataConsolidate", SheetChild::DataConsolidate},
    NamedChild{"customSheetViews", SheetChild::CustomSheetViews},
    NamedChild{"mergeCells", SheetChild::MergeCells},
    NamedChild{"phoneticPr", SheetChild::PhoneticPr},
    NamedChild{"conditionalFormatting", SheetChild::ConditionalFormatting},
    NamedChild{"dataValidations", SheetChild::DataValidations},
    NamedChild{"hyperlinks", SheetChild::Hyperlinks},
    NamedChild{"printOptions", SheetChild::PrintOptions},
    NamedChild{"pageMargins", SheetChild::PageMargins},
    NamedChild{"pageSetup", SheetChild::PageSetup},
    NamedChild{"headerFooter", SheetChild::HeaderFooter},
    NamedChild{"rowBreaks", SheetChild::RowBreaks},
    NamedChild{"colBreaks", SheetChild::ColBreaks},
    NamedChild{"customProperties", SheetChild::CustomProperties},
    NamedChild{"cellWatches", SheetChild::CellWatches},
    NamedChild{"ignoredErrors", SheetChild::IgnoredErrors},
    NamedChild{"smartTags", SheetChild::SmartTags},
    NamedChild{"drawing", SheetChild::Drawing},
    NamedChild{"legacyDrawing", SheetChild::LegacyDrawing},
    NamedChild{"legacyDrawingHF", SheetChild::LegacyDrawingHF},
    NamedChild{"drawingHF", SheetChild::DrawingHF},
    NamedChild{"picture", SheetChild::Picture},
    NamedChild{"oleObjects", SheetChild::OleObjects},
    NamedChild{"controls", SheetChild::Controls},
    NamedChild{"webPublishItems", SheetChild::WebPublishItems},
    NamedChild{"tableParts", SheetChild::TableParts},
    NamedChild{"extLst", SheetChild::ExtLst},
};

bool is_relationships_ns(std::optional<std::string_view> uri) {
    return uri && (*uri == kRelationshipsNs || *uri == kStrictRelationshipsNs);
}


}  // namespace

References references(std::string_view source, const NamespaceScope& scope, const IgnorableLookup* ignorable,
                      std::span<const std::string_view> refused) {
    References out;
    NamespaceScope inner;
    xml::Tokenizer tok(source, xml::TokenizerOptions{.fragment = true});
    xml::Event ev;
    std::string scratch;
    const auto uri_of = [&](std::string_view prefix) {
        auto uri = inner.uri_of(prefix);
        return uri ? uri : scope.uri_of(prefix);
    };
    const auto check = [&](std::string_view prefix) {
        if (!prefix.empty() && prefix != "xml" && prefix != "xmlns" && prefix != "r" && !uri_of(prefix)) out.unbound = true;
    };
    // A name in `uri`. Most repeats follow each other and are skipped here; sorting removes the rest.
    const auto use = [&](std::optional<std::string_view> uri) {
        if (const auto i = ignorable->find(uri); i && (out.ignorable.empty() || out.ignorable.back() != *i))
            out.ignorable.push_back(*i);
    };
    const bool marks = ignorable && !ignorable->empty();
    while (tok.next(ev)) {
        if (ev.kind == xml::EventKind::End) inner.pop();
        if (!ev.is_tag()) continue;
        if (std::find(refused.begin(), refused.end(), ev.local_name) != refused.end()) {
            out.refused = true;
            break;
        }
        // The default namespace too: an element it puts in an ignorable namespace uses that.
        inner.open();
        xml::AttrIter decls(ev);
        xml::Attribute a;
        for (auto more = decls.next(a); more && *more; more = decls.next(a))
            if (const auto p = declared_prefix(a.name))
                if (auto uri = xml::decode_attribute(a.value, scratch, a.offset)) inner.bind(*p, *uri);
        check(xml::prefix_of(ev.name));
        if (marks) use(uri_of(xml::prefix_of(ev.name)));
        xml::AttrIter it(ev);
        for (auto more = it.next(a); more && *more; more = it.next(a)) {
            const auto prefix = xml::prefix_of(a.name);
            check(prefix);
            if (prefix.empty() || prefix == "xmlns") continue;
            const auto uri = uri_of(prefix);
            if (marks) use(uri);
            if (!is_relationships_ns(uri) && !(prefix == "r" && !uri)) continue;
            if (auto value = xml::decode(a.value, scratch, a.offset)) out.rel_ids.emplace_back(*value);
        }
        if (ev.kind == xml::EventKind::Empty) inner.pop();
    }
    std::sort(out.ignorable.begin(), out.ignorable.end());
    out.ignorable.erase(std::unique(out.ignorable.begin(), out.ignorable.end()), out.ignorable.end());
    return out;
}

SheetChild sheet_child_of(std::string_view local_name) {
    for (const NamedChild& c : kChildren)
        if (c.name == local_name) return c.kind;
    return SheetChild::Other;
}

bool is_carried(SheetChild kind) {
    switch (kind) {
    case SheetChild::Dimension:
    case SheetChild::Cols:
    case SheetChild::SheetData:
    case SheetChild::AutoFilter:
    case SheetChild::MergeCells:
    case SheetChild::ConditionalFormatting:
    case SheetChild::Hyperlinks:
    case SheetChild::TableParts: return false;
    default: return true;
    }
}

Result<CapturedElement> capture_element(xml::Tokenizer& tok, const xml::Event& start, const NamespaceScope& scope,
                                        const IgnorableLookup* ignorable) {
    const size_t outside = tok.depth() - (start.kind == xml::EventKind::Start ? 1 : 0);
    ElementScopes scopes{NamespaceScope::over(scope), outside};
    scopes.enter(start);
    auto xml = capture_raw_element(tok, scopes, start);
    if (!xml && !tok.ok()) return fail(tok.error());
    CapturedElement out;
    out.source = tok.source().substr(start.offset, tok.position() - start.offset);
    // An element that cannot be written back well-formed (a bad escape, invalid UTF-8, a prefix
    // bound nowhere, cut off by the end of the part) is left out, as it was before it was kept.
    if (!xml) return out;
    References refs = references(out.source, scope, ignorable);
    if (refs.unbound) return out;
    out.element.emplace();
    out.element->xml = std::move(*xml);
    out.element->rel_ids = std::move(refs.rel_ids);
    out.element->ignorable = std::move(refs.ignorable);
    return out;
}

}  // namespace velmo::reader
