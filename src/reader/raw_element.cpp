#include "reader/raw_element.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/kept_namespaces.hpp"
#include "xml/attribute_value.hpp"
#include "xml/names.hpp"
#include "xml/utf8.hpp"
#include "xml/white_space.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::reader {

namespace {

constexpr std::string_view kXmlNs = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNs = "http://www.w3.org/2000/xmlns/";

// What the tokenizer skipped between two events of an element (comments, processing
// instructions, a DOCTYPE, white space) that a parser would refuse there; null when nothing.
const char* skipped_fault(std::string_view s) {
    for (auto lt = s.find('<'); lt != std::string_view::npos; lt = s.find('<', lt + 1)) {
        const std::string_view rest = s.substr(lt);
        // The tokenizer has found each one's end.
        if (rest.starts_with("<!--")) {
            const auto close = rest.find("-->", 4);
            const std::string_view body = rest.substr(4, close - 4);
            if (body.find("--") != std::string_view::npos || body.ends_with('-')) return "\"--\" in a comment";
            lt += close + 2;
        } else if (rest.starts_with("<?")) {
            const auto close = rest.find("?>", 2);
            const std::string_view body = rest.substr(2, close - 2);
            std::size_t n = 0;
            while (n < body.size() && !xml::is_space(body[n])) ++n;
            const std::string_view target = body.substr(0, n);
            if (!xml::is_name(target) || target.find(':') != std::string_view::npos)
                return "a processing instruction without a target";
            const auto lower = [&](std::size_t i) { return static_cast<char>(target[i] | 0x20); };
            if (target.size() == 3 && lower(0) == 'x' && lower(1) == 'm' && lower(2) == 'l')
                return "an XML declaration";
            lt += close + 1;
        } else {
            return "a DOCTYPE";
        }
    }
    return nullptr;
}

// Writes an element back from its events. The text is later appended inside a part the writer
// regenerates, whose root binds only the main namespace (as default) and "r" (relationships).
class RawCapture {
public:
    RawCapture(xml::Tokenizer& tok, ElementScopes& scopes)
        : tok_(tok), ns_(scopes.ns, {.root_binds_r = true, .carries_xmlns = false, .escape_gt = false}),
          scopes_(scopes) {}

    Result<std::string> run(const xml::Event& root) {
        const std::string_view src = tok_.source();
        root_name_ = root.name;
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
                const std::string_view skipped = src.substr(done, ev.offset - done);
                if (const char* fault = skipped_fault(skipped)) refuse(fault);
                out_.append(skipped);
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
                        if (ev.raw.find("]]>") != std::string_view::npos) refuse("\"]]>\" in a text");
                    }
                    out_.append(ev.raw);
                    break;
                }
                scopes_.sync(tok_.depth());
            }
        }
        // The tokenizer finds the tags but leaves attributes and texts unchecked: a copy of what
        // does not decode, or of a character XML cannot carry, would make the part it lands in
        // unreadable.
        if (error_) return fail(std::move(*error_));
        ns_.write_carried(out_, root_name_end_);
        if (const auto bad = xml::check_utf8(out_))
            return fail(VelmoError::invalid_format(xml::utf8_error_message(*bad)));
        if (xml::find_disallowed_char(out_)) refuse("a character XML cannot carry");
        if (error_) return fail(std::move(*error_));
        return std::move(out_);
    }

private:
    // Records the declarations a tag of the element makes, then the prefixes it uses.
    void open_tag(const xml::Event& ev) {
        // After an error nothing is written, so what the tag needs no longer matters.
        if (auto ok = ns_.open(ev); !ok) note(std::move(ok.error()));
        check_tag(ev);
        for (const auto p : ns_.attribute_prefixes()) (void)ns_.need(p, false);
        const auto p = xml::prefix_of(ev.name);
        drops_.push_back(!p.empty() && ns_.need(p, true) == KeptNamespaces::Need::Drop);
        ns_.need_required(ev);
    }

    void note(VelmoError e) {
        if (!error_) error_ = std::move(e);
    }

    void refuse(std::string_view what) {
        if (!error_)
            error_ = VelmoError::invalid_format(std::string(what) + " inside <" + std::string(root_name_) + ">");
    }

    // What the tokenizer let through in a tag that a parser refuses. The tag's declarations are
    // bound, and its attributes scan (else an error is noted already).
    void check_tag(const xml::Event& ev) {
        if (error_) return;
        if (!xml::is_qualified_name(ev.name) || xml::prefix_of(ev.name) == "xmlns")
            return refuse("an invalid element name");
        names_.clear();
        expanded_.clear();
        xml::AttrIter it(ev);
        xml::Attribute a;
        while (true) {
            auto more = it.next(a);
            if (!more || !*more) break;
            // The name follows the element's name or the previous value.
            if (!xml::is_space(a.name.data()[-1])) return refuse("attributes not apart");
            if (!xml::is_qualified_name(a.name)) return refuse("an invalid attribute name");
            if (a.value.find('<') != std::string_view::npos) return refuse("\"<\" in an attribute value");
            names_.push_back(a.name);
            const auto prefix = xml::prefix_of(a.name);
            if (const auto declared = declared_prefix(a.name)) {
                auto uri = xml::decode_attribute(a.value, scratch_, a.offset);
                if (!uri) return;
                const bool reserved = *declared == "xml" ? *uri != kXmlNs : (*uri == kXmlNs || *uri == kXmlnsNs);
                if (*declared == "xmlns" || reserved || (!declared->empty() && uri->empty()))
                    return refuse("a reserved or empty namespace declaration");
            } else if (!prefix.empty()) {
                const auto uri = prefix == "xml" ? std::optional(kXmlNs) : ns_.uri_of(prefix);
                if (uri) expanded_.emplace_back(*uri, xml::local_name_of(a.name));
            }
        }
        // Two prefixes bound to one namespace name the same attribute as well.
        std::sort(names_.begin(), names_.end());
        std::sort(expanded_.begin(), expanded_.end());
        if (std::adjacent_find(names_.begin(), names_.end()) != names_.end() ||
            std::adjacent_find(expanded_.begin(), expanded_.end()) != expanded_.end())
            refuse("an attribute given twice");
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
    std::string_view root_name_;
    std::vector<std::string_view> names_;  // of the tag's attributes, and below their expanded names
    std::vector<std::pair<std::string_view, std::string_view>> expanded_;
    std::vector<bool> drops_;  // whether each open tag's name is written unprefixed
    std::string scratch_;
    std::optional<VelmoError> error_;
};

}  // namespace

Result<std::string> capture_raw_element(xml::Tokenizer& tok, ElementScopes& scopes, const xml::Event& root) {
    return RawCapture(tok, scopes).run(root);
}

Result<std::string> capture_raw_element(xml::Tokenizer& tok, const NamespaceScope& scope, const xml::Event& root) {
    ElementScopes scopes{NamespaceScope::over(scope), tok.depth()};
    return capture_raw_element(tok, scopes, root);
}

namespace {

// Byte classes for the look at a plain element's tags. kBadName: an ASCII byte no name holds (a
// name holding any other byte is left to the capture); kNotFirst: a name character that cannot
// start a name.
enum : std::uint8_t {
    kEndsName = 1,
    kColon = 2,
    kSpace = 4,
    kLt = 8,
    kAmp = 16,
    kBadName = 32,
    kNonAscii = 64,
    kNotFirst = 128,
};
constexpr std::array<std::uint8_t, 256> kClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = kBadName;
    for (int c = 0x80; c < 0x100; ++c) t[static_cast<std::size_t>(c)] = kNonAscii;
    for (char c = 'a'; c <= 'z'; ++c) t[static_cast<unsigned char>(c)] = 0;
    for (char c = 'A'; c <= 'Z'; ++c) t[static_cast<unsigned char>(c)] = 0;
    t['_'] = 0;
    for (char c = '0'; c <= '9'; ++c) t[static_cast<unsigned char>(c)] = kNotFirst;
    t['-'] = t['.'] = kNotFirst;
    for (const unsigned char c : std::string_view(" \t\r\n")) t[c] = kEndsName | kSpace;
    for (const unsigned char c : std::string_view(">/=\"'")) t[c] = kEndsName;
    t['<'] = kEndsName | kLt;
    t[':'] = kColon;
    t['&'] = kAmp | kBadName;
    return t;
}();
std::uint8_t class_of(char c) { return kClass[static_cast<unsigned char>(c)]; }

void skip_space(const char*& p, const char* end) {
    while (p < end && (class_of(*p) & kSpace)) ++p;
}

// A name from `p`, left just past it; the classes of its bytes or-ed together, with kBadName when
// it is empty or its first byte cannot start a name.
[[gnu::always_inline]] inline std::uint8_t read_name(const char*& p, const char* end) {
    const char* const start = p;
    std::uint8_t seen = 0;
    for (std::uint8_t k; p < end && !((k = class_of(*p)) & kEndsName); ++p) seen |= k;
    if (p == start || (class_of(*start) & kNotFirst)) seen |= kBadName;
    return seen;
}

// The tag whose "<" lies just before `p`, read to just past its ">"; false when it is not a plain one.
bool plain_tag(const char*& p, const char* end, std::string& scratch) {
    const bool end_tag = p < end && *p == '/';
    if (end_tag) ++p;
    if (p >= end || *p == '!' || *p == '?') return false;
    if (read_name(p, end) & (kColon | kBadName | kNonAscii)) return false;
    // The attribute names met so far (left uninitialised: this runs for every tag): a tag naming
    // one twice is not XML. Tags with more are rare enough to leave to the capture.
    constexpr std::size_t kNames = 8;
    const char* name_at[kNames];
    std::size_t name_size[kNames];
    std::size_t named = 0;
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
        if ((seen & (kBadName | kNonAscii)) || attr_name.starts_with("xmlns") ||
            ((seen & kColon) && attr_name != "xml:space") || named == kNames)
            return false;
        for (std::size_t i = 0; i < named; ++i)
            if (std::string_view(name_at[i], name_size[i]) == attr_name) return false;
        name_at[named] = attr_name.data();
        name_size[named++] = attr_name.size();
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
        if (text.find("]]>") != std::string_view::npos) return false;
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
