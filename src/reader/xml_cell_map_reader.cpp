#include "reader/xml_cell_map_reader.hpp"

#include <string>

#include "reader/namespaces.hpp"
#include "xml/attribute_value.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

bool is_main(const NamespaceScope& ns, const xml::Event& ev, std::string_view local) {
    if (ev.local_name != local) return false;
    const auto uri = ns.uri_of(xml::prefix_of(ev.name));
    return uri && is_spreadsheet_main_ns(*uri);
}

// The cell an entry's one `r` attribute names in the grid, and where the value lies; none for any
// other entry.
std::optional<MappedCell> entry_of(const xml::Event& ev) {
    xml::AttrIter it(ev);
    xml::Attribute a;
    std::string scratch;
    std::optional<MappedCell> out;
    for (;;) {
        auto more = it.next(a);
        if (!more) return std::nullopt;
        if (!*more) return out;
        if (a.name != "r") continue;
        if (out) return std::nullopt;
        auto text = xml::decode_attribute(a.value, scratch, a.offset);
        if (!text) return std::nullopt;
        const auto cell = coords::parse_a1(*text);
        if (!cell || cell->row > coords::kMaxRow || cell->col > coords::kMaxCol) return std::nullopt;
        out = MappedCell{*cell, *cell, ev.offset, ev.offset + ev.raw.size(), a.offset, a.offset + a.value.size()};
    }
}

}  // namespace

std::optional<std::vector<MappedCell>> parse_xml_cell_map(std::string_view doc) {
    xml::Tokenizer tok(doc);
    NamespaceScope ns;
    std::vector<MappedCell> cells;
    bool entry_open = false;
    xml::Event ev;
    while (tok.next(ev)) {
        if (ev.kind == xml::EventKind::End) {
            // The entry's element ends with its end tag.
            if (tok.depth() == 1 && entry_open) {
                cells.back().end = ev.offset + ev.raw.size();
                entry_open = false;
            }
            ns.pop();
            continue;
        }
        if (!ev.is_tag()) continue;
        const bool empty = ev.kind == xml::EventKind::Empty;
        const std::size_t level = tok.depth() + (empty ? 1 : 0);  // the root at 1
        // Bound default namespace included: the entries are told apart by theirs.
        if (!ns.push(ev, true)) return std::nullopt;
        if (level == 1 && !is_main(ns, ev, "singleXmlCells")) return std::nullopt;
        if (level == 2) {
            // Anything else beside the entries might bind cells too.
            if (!is_main(ns, ev, "singleXmlCell")) return std::nullopt;
            auto entry = entry_of(ev);
            if (!entry) return std::nullopt;
            cells.push_back(*entry);
            entry_open = !empty;
        }
        if (empty) ns.pop();
    }
    if (!tok.ok()) return std::nullopt;
    return cells;
}

}  // namespace velmo::reader
