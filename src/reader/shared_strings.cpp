#include "reader/shared_strings.hpp"

#include <algorithm>
#include <optional>

#include "xml/number_parse.hpp"
#include "xml/white_space.hpp"

namespace velmo::reader {

namespace {
// The smallest item, "<si/>", takes 5 bytes; no count from the file reserves more than that.
constexpr std::size_t kMinItemBytes = 5;
}  // namespace

Result<void> StringItemText::feed(const xml::Event& ev) {
    switch (ev.kind) {
    case xml::EventKind::Start:
        if (ev.local_name == "rPh") {
            ++phonetic_depth_;
        } else if (ev.local_name == "t" && phonetic_depth_ == 0) {
            auto space = xml::attr_value(ev, "xml:space", scratch_);
            if (!space) return fail(space.error());
            in_t_ = true;
            preserve_ = *space && **space == "preserve";
        }
        return {};
    case xml::EventKind::Empty:
        if (ev.local_name == "t") in_t_ = false;
        return {};
    case xml::EventKind::End:
        if (ev.local_name == "t") {
            in_t_ = false;
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

Result<SharedStrings> parse_shared_strings(std::string_view doc) {
    // Untrimmed, so a preserved all-space run survives; StringItemText trims the rest itself. A
    // part cut short keeps the items closed before the cut.
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    SharedStrings out;
    StringItemText item;
    bool in_si = false;
    std::string scratch;
    xml::Event ev;
    while (tok.next(ev)) {
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
                continue;
            }
            if (ev.kind == xml::EventKind::Empty) {
                out.items.emplace_back();
                continue;
            }
            if (ev.kind == xml::EventKind::End) {
                out.items.push_back(item.take());
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
