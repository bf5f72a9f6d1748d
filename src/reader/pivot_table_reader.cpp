#include "reader/pivot_table_reader.hpp"

#include <string>

#include "xml/hex_escapes.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

std::optional<PivotTableLocation> parse_pivot_location(std::string_view doc, std::string_view part) {
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.allow_unclosed_at_eof = true});
    xml::Event ev;
    std::string scratch;
    std::optional<std::string> name;
    bool in_root = false;
    // The location is the root's first child, so reading stops soon, however large the part.
    while (tok.next(ev)) {
        if (!ev.is_tag()) continue;
        if (!in_root) {
            if (ev.local_name != "pivotTableDefinition" || ev.kind != xml::EventKind::Start) return std::nullopt;
            in_root = true;
            // A name that cannot be read is replaced by the part's: the location still counts.
            auto v = xml::attr_value(ev, "name", scratch);
            if (v && *v) {
                name.emplace(**v);
                xml::decode_hex_escapes(*name);
            }
            continue;
        }
        const size_t parents = tok.depth() - (ev.kind == xml::EventKind::Start ? 1 : 0);
        if (parents != 1 || ev.local_name != "location") continue;
        auto v = xml::attr_value(ev, "ref", scratch);
        if (!v || !*v) return std::nullopt;
        const auto range = coords::parse_range(coords::trim_ws(**v));
        if (!range) return std::nullopt;
        return PivotTableLocation{name && !name->empty() ? std::move(*name) : std::string(part), std::string(**v),
                                  range->ordered()};
    }
    return std::nullopt;
}

}  // namespace velmo::reader
