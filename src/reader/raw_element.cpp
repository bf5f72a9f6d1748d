#include "reader/raw_element.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/kept_namespaces.hpp"
#include "xml/utf8.hpp"
#include "xml/white_space.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::reader {

namespace {

// Writes an element back from its events. The text is later appended inside a part the writer
// regenerates, whose root binds only the main namespace (as default) and "r" (relationships).
class RawCapture {
public:
    RawCapture(xml::Tokenizer& tok, ElementScopes& scopes)
        : tok_(tok), ns_(scopes.ns, {.root_binds_r = true, .carries_xmlns = false, .escape_gt = false}),
          scopes_(scopes) {}

    Result<std::string> run(const xml::Event& root) {
        const std::string_view src = tok_.source();
        open_tag(root);
        write_tag(root);
        root_name_end_ = 1 + element_name(root.name).size();
        std::size_t done = root.offset + root.raw.size();
        if (root.kind == xml::EventKind::Start) {
            std::size_t depth = 1;
            xml::Event ev;
            while (depth > 0) {
                if (!tok_.next(ev)) {
                    if (!tok_.ok()) return fail(tok_.error());
                    return fail(
                        VelmoError::invalid_format("unterminated <" + std::string(root.local_name) + "> element"));
                }
                // Comments and processing instructions are skipped by the tokenizer: they are
                // what lies between two events.
                out_.append(src.substr(done, ev.offset - done));
                done = ev.offset + ev.raw.size();
                switch (ev.kind) {
                case xml::EventKind::Start:
                case xml::EventKind::Empty:
                    scopes_.enter(ev);
                    open_tag(ev);
                    write_tag(ev);
                    if (ev.kind == xml::EventKind::Start) {
                        ++depth;
                    } else {
                        close_tag();
                    }
                    break;
                case xml::EventKind::End:
                    out_ += "</";
                    out_.append(element_name(ev.name));
                    out_ += '>';
                    close_tag();
                    --depth;
                    break;
                default:
                    if (ev.kind == xml::EventKind::Text) {
                        if (auto ok = xml::unescape(ev.raw, scratch_, ev.offset); !ok) note(std::move(ok.error()));
                    }
                    out_.append(ev.raw);
                    break;
                }
                scopes_.sync(tok_.depth());
            }
        }
        // The tokenizer finds the tags but leaves attributes and texts unchecked: a copy of what
        // does not decode would make the part it lands in unreadable.
        if (error_) return fail(std::move(*error_));
        ns_.write_carried(out_, root_name_end_);
        if (const auto bad = xml::check_utf8(out_))
            return fail(VelmoError::invalid_format(xml::utf8_error_message(*bad)));
        return std::move(out_);
    }

private:
    // Records the declarations a tag of the element makes, then the prefixes it uses.
    void open_tag(const xml::Event& ev) {
        // After an error nothing is written, so what the tag needs no longer matters.
        if (auto ok = ns_.open(ev); !ok) note(std::move(ok.error()));
        for (const auto p : ns_.attribute_prefixes()) (void)ns_.need(p, false);
        const auto p = xml::prefix_of(ev.name);
        drops_.push_back(!p.empty() && ns_.need(p, true) == KeptNamespaces::Need::Drop);
        need_required(ev);
    }

    // A markup-compatibility choice names in a value the prefixes it requires ("x14"): unbound
    // where the element lands, they would make an application skip the choice.
    void need_required(const xml::Event& ev) {
        if (ev.local_name != "Choice" || ns_.uri_of(xml::prefix_of(ev.name)) != kMarkupCompatibilityNs) return;
        std::string scratch;
        auto required = xml::attr_value(ev, "Requires", scratch);
        if (!required || !*required) return;
        for (const std::string_view prefix : listed_prefixes(**required)) (void)ns_.need(prefix, false);
    }

    void note(VelmoError e) {
        if (!error_) error_ = std::move(e);
    }

    void close_tag() {
        if (drops_.empty()) return;
        ns_.close();
        drops_.pop_back();
    }

    void write_tag(const xml::Event& ev) {
        out_ += '<';
        out_.append(element_name(ev.name));
        out_.append(ev.raw.substr(1 + ev.name.size()));
    }

    // The element name as written out: for the innermost open tag's name, its drop decision.
    std::string_view element_name(std::string_view qname) const {
        if (!drops_.empty() && drops_.back()) return xml::local_name_of(qname);
        return qname;
    }

    xml::Tokenizer& tok_;
    KeptNamespaces ns_;
    ElementScopes& scopes_;
    std::string out_;
    std::size_t root_name_end_ = 0;
    std::vector<bool> drops_;  // whether each open tag's name is written unprefixed
    std::string scratch_;
    std::optional<VelmoError> error_;
};

}  // namespace

Result<std::string> capture_raw_element(xml::Tokenizer& tok, ElementScopes& scopes, const xml::Event& root) {
    return RawCapture(tok, scopes).run(root);
}

namespace {

// Byte classes for the look at a plain element's tags.
enum : std::uint8_t { kEndsName = 1, kColon = 2, kSpace = 4, kLt = 8, kAmp = 16 };
constexpr std::array<std::uint8_t, 256> kClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (const unsigned char c : std::string_view(" \t\r\n")) t[c] = kEndsName | kSpace;
    for (const unsigned char c : std::string_view(">/=\"'")) t[c] = kEndsName;
    t['<'] = kEndsName | kLt;
    t[':'] = kColon;
    t['&'] = kAmp;
    return t;
}();
std::uint8_t class_of(char c) { return kClass[static_cast<unsigned char>(c)]; }

void skip_space(const char*& p, const char* end) {
    while (p < end && (class_of(*p) & kSpace)) ++p;
}

// A name from `p`, left just past it; the classes of its bytes or-ed together.
std::uint8_t read_name(const char*& p, const char* end) {
    std::uint8_t seen = 0;
    for (std::uint8_t k; p < end && !((k = class_of(*p)) & kEndsName); ++p) seen |= k;
    return seen;
}

// The tag whose "<" lies just before `p`, read to just past its ">"; false when it is not a plain one.
bool plain_tag(const char*& p, const char* end, std::string& scratch) {
    const bool end_tag = p < end && *p == '/';
    if (end_tag) ++p;
    if (p >= end || *p == '!' || *p == '?') return false;
    const char* name = p;
    if (read_name(p, end) & kColon || p == name) return false;
    for (;;) {
        skip_space(p, end);
        if (p >= end) return false;
        if (*p == '>') break;
        if (*p == '/' && !end_tag) {
            if (++p >= end || *p != '>') return false;
            break;
        }
        if (end_tag) return false;
        const char* attr = p;
        const std::uint8_t seen = read_name(p, end);
        const std::string_view attr_name(attr, static_cast<std::size_t>(p - attr));
        if (attr_name.empty() || attr_name.starts_with("xmlns") || ((seen & kColon) && attr_name != "xml:space"))
            return false;
        skip_space(p, end);
        if (p >= end || *p != '=') return false;
        ++p;
        skip_space(p, end);
        if (p >= end || (*p != '"' && *p != '\'')) return false;
        const char quote = *p++;
        const char* value = p;
        std::uint8_t in_value = 0;
        for (; p < end && *p != quote; ++p) in_value |= class_of(*p);
        if (p >= end || (in_value & kLt)) return false;
        if ((in_value & kAmp) && !xml::unescape(std::string_view(value, static_cast<std::size_t>(p - value)), scratch))
            return false;
        ++p;
        if (p < end && !(class_of(*p) & kSpace) && *p != '>' && *p != '/') return false;
    }
    ++p;
    return true;
}

}  // namespace

bool PlainElements::plain(std::string_view e) {
    const char* const begin = e.data();
    const char* const end = begin + e.size();
    const char* p = begin;
    const bool same_opening = !opening_.empty() && e.starts_with(opening_);
    if (same_opening) p += opening_.size();
    const char* opening = same_opening ? nullptr : begin;  // still among the opening tags
    while (p < end) {
        const auto* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        const char* text_end = lt ? lt : end;
        if (opening && text_end != p) {
            opening_.assign(begin, p);
            opening = nullptr;
        }
        const std::string_view text(p, static_cast<std::size_t>(text_end - p));
        if (text.find('&') != std::string_view::npos && !xml::unescape(text, scratch_)) return false;
        if (!lt) break;
        p = lt + 1;
        if (!plain_tag(p, end, scratch_)) return false;
    }
    if (xml::find_disallowed_char(e)) return false;
    // Only the opening of an element found plain is remembered.
    if (!same_opening && opening) opening_.assign(e);
    return true;
}

}  // namespace velmo::reader
