#include "reader/comments_reader.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "reader/alternate_content.hpp"
#include "reader/raw_element.hpp"
#include "reader/shared_strings.hpp"
#include "xml/hex_escapes.hpp"
#include "xml/number_parse.hpp"
#include "xml/tokenizer.hpp"
#include "xml/white_space.hpp"

namespace velmo::reader {

Result<CommentMap> parse_comments_xml(std::string_view doc, std::shared_ptr<const std::string> owner) {
    if (owner && std::string_view(*owner).data() != doc.data()) owner.reset();
    // Untrimmed, so a preserved all-space run survives; StringItemText trims the rest itself. A
    // part cut short keeps the comments closed before the cut.
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    CommentMap out;
    std::vector<std::string> authors;
    bool in_author = false;
    std::optional<std::string> ref;  // of the comment being read
    std::uint64_t author_index = 0;
    StringItemText text;
    KeptBytes rich;  // the comment's text element, when it has runs
    std::size_t text_start = 0;
    unsigned texts = 0;  // text elements met in the comment: only a lone one is kept whole
    std::size_t text_end_size = 0;  // the plain text's length where it ended
    // One branch of each alternative, and the bindings of the open elements for a text kept whole.
    PartWalk walk(tok);
    PlainElements plain;
    std::string scratch;
    xml::Event ev;
    while (walk.next(ev)) {
        if (ev.local_name == "author") {
            if (ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty) authors.emplace_back();
            if (ev.kind == xml::EventKind::End && in_author) xml::decode_hex_escapes(authors.back());
            in_author = ev.kind == xml::EventKind::Start;
            continue;
        }
        if (in_author) {
            if (ev.kind == xml::EventKind::Text) {
                const std::string_view piece = xml::trim_space(ev.raw);
                if (piece.empty()) continue;
                auto decoded = xml::decode(piece, scratch, ev.offset + static_cast<std::size_t>(piece.data() - ev.raw.data()));
                if (!decoded) return fail(decoded.error());
                authors.back().append(*decoded);
            } else if (ev.kind == xml::EventKind::CData) {
                if (auto r = xml::append_text(ev, authors.back()); !r) return fail(r.error());
            }
            continue;
        }
        if (ev.local_name == "comment") {
            if (ev.kind == xml::EventKind::Start) {
                auto r = xml::attr_string(ev, "ref");
                if (!r) return fail(r.error());
                ref = std::move(*r);
                auto id = xml::attr_value(ev, "authorId", scratch);
                if (!id) return fail(id.error());
                author_index = *id ? xml::parse_u64(**id).value_or(0) : 0;
                text.reset();
                rich = {};
                texts = 0;
            } else if (ev.kind == xml::EventKind::End) {
                // Runs outside the kept element would be words it does not hold.
                if (rich && text.text().size() != text_end_size) rich = {};
                if (ref) {
                    std::string author = author_index < authors.size() ? authors[author_index] : std::string();
                    out.insert_or_assign(std::move(*ref), Comment{text.take(), std::move(author), {}, std::move(rich)});
                }
                ref.reset();
            }
            continue;
        }
        if (ref) {
            if (auto r = text.feed(ev); !r) return fail(r.error());
            // The text element with runs, phonetic runs and their properties is kept as written;
            // its plain text alone is the note's text.
            if (ev.local_name == "text") {
                if (ev.kind != xml::EventKind::End && (++texts > 1 || !text.text().empty())) {
                    rich = {};
                    texts = 2;
                } else if (ev.kind == xml::EventKind::Start) {
                    text_start = ev.offset;
                } else if (ev.kind == xml::EventKind::End && texts == 1 && text.marked_up()) {
                    const std::string_view element = doc.substr(text_start, ev.offset + ev.raw.size() - text_start);
                    if (plain.plain(element)) {
                        if (!owner) owner = std::make_shared<const std::string>(doc);
                        rich = KeptBytes{owner, text_start, element.size()};
                    } else if (auto kept = keep_note_text(element, walk.ns())) {
                        rich = KeptBytes::owning(std::move(*kept));
                    }
                    text_end_size = text.text().size();
                }
            }
        }
    }
    if (!tok.ok()) return fail(tok.error());
    return out;
}

}  // namespace velmo::reader
