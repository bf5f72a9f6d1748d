#include "reader/shared_strings.hpp"

#include <algorithm>
#include <optional>

#include "reader/alternate_content.hpp"
#include "reader/carried_elements.hpp"
#include "reader/raw_element.hpp"
#include "xml/number_parse.hpp"
#include "xml/xml_writer.hpp"
#include "xml/white_space.hpp"

namespace velmo::reader {

namespace {
// The smallest item, "<si/>", takes 5 bytes; no count from the file reserves more than that.
constexpr std::size_t kMinItemBytes = 5;
}  // namespace

namespace {
bool is_markup(std::string_view local_name) {
    return local_name == "r" || local_name == "rPh" || local_name == "phoneticPr";
}
}  // namespace

Result<void> StringItemText::feed(const xml::Event& ev) {
    switch (ev.kind) {
    case xml::EventKind::Start:
        marked_up_ |= is_markup(ev.local_name);
        if (ev.local_name == "rPh") {
            ++phonetic_depth_;
        } else if (ev.local_name == "t" && phonetic_depth_ == 0) {
            auto space = xml::attr_value(ev, "xml:space", scratch_);
            if (!space) return fail(space.error());
            end_t();
            in_t_ = true;
            t_start_ = text_.size();
            preserve_ = *space && **space == "preserve";
        }
        return {};
    case xml::EventKind::Empty:
        marked_up_ |= is_markup(ev.local_name);
        if (ev.local_name == "t") end_t();
        return {};
    case xml::EventKind::End:
        if (ev.local_name == "t") {
            end_t();
        } else if (ev.local_name == "rPh" && phonetic_depth_ > 0) {
            --phonetic_depth_;
        }
        return {};
    case xml::EventKind::Text: {
        if (!in_t_) return {};
        // `raw` is the text as written, untrimmed whatever the tokenizer's settings.
        const std::string_view piece = preserve_ ? ev.raw : xml::trim_space(ev.raw);
        if (piece.empty()) return {};
        auto decoded = xml::decode(piece, scratch_, ev.offset + static_cast<std::size_t>(piece.data() - ev.raw.data()));
        if (!decoded) return fail(decoded.error());
        text_.append(*decoded);
        return {};
    }
    case xml::EventKind::CData:
        if (!in_t_) return {};
        return xml::append_text(ev, text_);
    case xml::EventKind::Eof:
        return {};
    }
    return {};
}

namespace {

// The element `element` (a whole element, start tag to end tag) captured for a part of the
// writer's whose root binds the main namespace as default and "r": what keep_string_item and
// keep_note_text share. None when it cannot be written back well-formed (a bad escape, a prefix
// bound nowhere, a character XML cannot carry).
std::optional<std::string> capture_kept_element(std::string_view element, const NamespaceScope& scope,
                                                PlainElements* plain) {
    // Most items need none of the capture's care, which costs far more than a look at the bytes.
    if (plain && plain->plain(element)) return std::string(element);
    xml::Tokenizer tok(element, xml::TokenizerOptions{.trim_text = false, .fragment = true});
    xml::Event root;
    if (!tok.next(root) || root.kind != xml::EventKind::Start) return std::nullopt;
    ElementScopes scopes{NamespaceScope::over(scope), 0};
    scopes.enter(root);
    auto kept = capture_raw_element(tok, scopes, root);
    if (!kept || references(element, scope).unbound) return std::nullopt;
    return std::move(*kept);
}

// Whether the captured `xml` is an element named `name` in the main namespace (written unprefixed)
// with an end tag of its own.
bool captured_as(std::string_view xml, std::string_view name) {
    const auto end_tag = [&] {
        const std::string_view tail = xml.substr(xml.size() - name.size() - 3);
        return tail.starts_with("</") && tail.substr(2, name.size()) == name && tail.back() == '>';
    };
    return xml.size() > 2 * name.size() + 4 && xml[0] == '<' && xml.substr(1, name.size()) == name &&
           (xml[name.size() + 1] == '>' || xml::is_space(xml[name.size() + 1])) && end_tag();
}

}  // namespace

std::shared_ptr<const std::string> keep_string_item(std::string_view element, const NamespaceScope& scope,
                                                    PlainElements& plain) {
    auto kept = capture_kept_element(element, scope, &plain);
    if (!kept) return nullptr;
    std::string& xml = *kept;
    // An inline string's `is` becomes the `si` it is saved as; a root in any other namespace is
    // not an item.
    if (captured_as(xml, "is")) {
        constexpr std::string_view kEnd = "</is>";
        xml[1] = 's';
        xml[2] = 'i';
        xml.replace(xml.size() - kEnd.size(), kEnd.size(), "</si>");
    } else if (!captured_as(xml, "si")) {
        return nullptr;
    }
    return std::make_shared<const std::string>(std::move(xml));
}

std::optional<std::string> keep_note_text(std::string_view element, const NamespaceScope& scope) {
    auto kept = capture_kept_element(element, scope, nullptr);
    if (!kept || !captured_as(*kept, "text")) return std::nullopt;
    return kept;
}

Result<SharedStrings> parse_shared_strings(std::string_view doc) {
    // Untrimmed, so a preserved all-space run survives; StringItemText trims the rest itself. A
    // part cut short keeps the items closed before the cut.
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    SharedStrings out;
    StringItemText item;
    bool in_si = false;
    size_t si_start = 0;
    // The bindings in force at each item, for those kept whole.
    PartWalk walk(tok);
    PlainElements plain;
    std::string scratch;
    xml::Event ev;
    while (walk.next(ev)) {
        if (ev.kind == xml::EventKind::Start && ev.local_name == "sst") {
            auto count = xml::attr_value(ev, "uniqueCount", scratch);
            if (!count) return fail(count.error());
            std::uint64_t n = *count ? xml::parse_u64(**count).value_or(0) : 0;
            // A count is only a hint: never reserve beyond what the part could hold.
            n = std::min<std::uint64_t>(n, doc.size() / kMinItemBytes);
            out.items = {};
            if (n > 0) out.items.reserve(static_cast<std::size_t>(n));
            continue;
        }
        if (ev.local_name == "si") {
            if (ev.kind == xml::EventKind::Start) {
                item.reset();
                in_si = true;
                si_start = ev.offset;
                continue;
            }
            if (ev.kind == xml::EventKind::Empty) {
                out.items.emplace_back();
                continue;
            }
            if (ev.kind == xml::EventKind::End) {
                if (in_si && item.marked_up()) {
                    const size_t end = ev.offset + ev.raw.size();
                    if (auto kept = keep_string_item(doc.substr(si_start, end - si_start), walk.ns(), plain))
                        out.rich.emplace(out.items.size(), std::move(kept));
                }
                out.items.push_back(item.take_text());
                in_si = false;
                continue;
            }
        }
        if (in_si) {
            if (auto r = item.feed(ev); !r) return fail(r.error());
        }
    }
    if (!tok.ok()) return fail(tok.error());
    return out;
}

}  // namespace velmo::reader
