#include "reader/content_types.hpp"

#include <utility>

#include "xml/tokenizer.hpp"
#include "xml/utf8.hpp"
#include "zip/part_names.hpp"

namespace velmo::reader {

namespace {

// Well-formed, but no content types a save can patch.
VelmoError not_types(std::string_view detail) {
    return VelmoError::zip(std::string(kContentTypesPart) + ": " + std::string(detail));
}

}  // namespace

Result<ContentTypes> read_content_types(std::string_view text) {
    ContentTypes out;
    std::optional<size_t> root_end;
    {
        // A root left open is reported below as having no end tag, not as malformed XML.
        xml::Tokenizer tok(text, {.trim_text = false, .allow_unclosed_at_eof = true});
        xml::Event ev;
        bool seen_root = false;
        std::optional<ContentTypeOverride> open_override;
        while (tok.next(ev)) {
            const size_t depth = tok.depth();
            if (ev.is_tag() && !seen_root) {
                seen_root = true;
                if (ev.local_name != "Types") return fail(not_types("the root element is not Types"));
                out.prefix = ev.name.substr(0, ev.name.size() - ev.local_name.size());
                if (ev.kind == xml::EventKind::Empty) break;
                continue;
            }
            const bool child_tag = ev.is_tag() && depth == (ev.kind == xml::EventKind::Start ? 2u : 1u);
            if (child_tag && ev.local_name == "Default") {
                auto ext = xml::attr_string(ev, "Extension");
                if (!ext) return fail(in_part(kContentTypesPart, std::move(ext.error())));
                if (*ext) out.default_extensions.insert(zip::PartNameSet::normalize(**ext));
            } else if (child_tag && ev.local_name == "Override") {
                auto name = xml::attr_string(ev, "PartName");
                if (!name) return fail(in_part(kContentTypesPart, std::move(name.error())));
                auto type = xml::attr_string(ev, "ContentType");
                if (!type) return fail(in_part(kContentTypesPart, std::move(type.error())));
                ContentTypeOverride o{ev.offset, ev.offset + ev.raw.size(), std::move(*name), std::move(*type)};
                if (ev.kind == xml::EventKind::Empty) out.overrides.push_back(std::move(o));
                else open_override = std::move(o);
            } else if (ev.kind == xml::EventKind::End && depth == 1 && open_override) {
                open_override->end = ev.offset + ev.raw.size();
                out.overrides.push_back(std::move(*open_override));
                open_override.reset();
            } else if (ev.kind == xml::EventKind::End && depth == 0) {
                root_end = ev.offset;
            }
        }
        if (!tok.ok()) return fail(in_part(kContentTypesPart, tok.error()));
    }
    if (!root_end) return fail(not_types("the Types element has no end tag"));
    // Patched as text, so all of it must be UTF-8, what the tokenizer skips included.
    if (auto bad = xml::check_utf8(text))
        return fail(VelmoError::io(std::string(kContentTypesPart) + ": " + xml::utf8_error_message(*bad)));
    out.root_end = *root_end;
    return out;
}

}  // namespace velmo::reader
