#include "xml/tokenizer.hpp"

#include <array>
#include <cstring>

#include "model/utf8.hpp"
#include "xml/utf8.hpp"
#include "xml/white_space.hpp"

namespace velmo::xml {

namespace {

// What a byte may be in an element name: one that ends it inside a tag (white space, "/", ">"),
// one that no name can hold (a control character, "<", "&", a quote, "="), or one a reader may
// take for a name character. Which names XML allows is left to the readers that keep elements;
// what is refused here is what no document has in a tag, which is how a UTF-16 part or binary
// junk shows itself.
enum NameByte : std::uint8_t { kNameByte, kEndsName, kNotName };

constexpr std::array<NameByte, 256> kNameBytes = [] {
    std::array<NameByte, 256> t{};
    for (unsigned c = 0; c < 0x20; ++c) t[c] = kNotName;
    for (const char c : {'\x7f', '<', '&', '"', '\'', '='}) t[static_cast<unsigned char>(c)] = kNotName;
    for (const char c : {' ', '\t', '\n', '\r', '/', '>'}) t[static_cast<unsigned char>(c)] = kEndsName;
    return t;
}();

inline NameByte name_byte(char c) { return kNameBytes[static_cast<unsigned char>(c)]; }

// The first `c` in [p, end), or end. Short spans are the rule (cell values, attribute values),
// where a plain loop beats a library call; longer ones go to memchr.
inline const char* find_byte(const char* p, const char* end, char c) {
    const char* const quick = end - p > 16 ? p + 16 : end;
    for (; p < quick; ++p)
        if (*p == c) return p;
    if (p == end) return end;
    const void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const char*>(hit) : end;
}

// A short excerpt of document text for an error message.
std::string excerpt(std::string_view s) {
    constexpr std::size_t kMax = 40;
    if (s.size() <= kMax) return std::string(s);
    return std::string(s.substr(0, kMax)) + "...";
}

VelmoError xml_error_at(std::size_t offset, std::string detail) {
    detail += " at byte ";
    detail += std::to_string(offset);
    return VelmoError::xml(std::move(detail));
}

bool is_xml_char(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The code point of a character reference's body ("#65", "#x41"), or none when malformed
// or out of range.
std::optional<std::uint32_t> char_ref_value(std::string_view body) {
    // body starts with '#'.
    std::size_t i = 1;
    int base = 10;
    if (i < body.size() && body[i] == 'x') {
        base = 16;
        ++i;
    }
    if (i >= body.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        std::uint32_t d;
        if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
        else return std::nullopt;
        v = v * static_cast<std::uint32_t>(base) + d;
        if (v > 0x10FFFF) return std::nullopt;  // stops before overflowing; leading zeros stay fine
    }
    return v;
}

std::size_t offset_in(const Event& ev, std::string_view part) {
    return ev.offset + static_cast<std::size_t>(part.data() - ev.raw.data());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tokenizer

Tokenizer::Tokenizer(std::string_view doc, TokenizerOptions options) : doc_(doc), options_(options) {
    if (doc_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // a byte-order mark is not text
    open_.reserve(32);
    // Read as UTF-8, a UTF-16 document would make no sense rather than an error: say what it is.
    if (doc_.starts_with("\xFF\xFE") || doc_.starts_with("\xFE\xFF") || doc_.starts_with(std::string_view("<\0", 2)) ||
        doc_.starts_with(std::string_view("\0<", 2)))
        fail_at(0, "document is encoded in UTF-16, not UTF-8");
}

bool Tokenizer::fail_at(std::size_t offset, std::string detail) {
    error_ = xml_error_at(offset, std::move(detail));
    pos_ = doc_.size();
    return false;
}

bool Tokenizer::next(Event& ev) {
    for (;;) {
        if (error_ || pos_ >= doc_.size()) break;
        const char* base = doc_.data();
        const std::size_t n = doc_.size();
        if (base[pos_] != '<') {
            const std::size_t end = static_cast<std::size_t>(find_byte(base + pos_, base + n, '<') - base);
            const std::string_view raw = doc_.substr(pos_, end - pos_);
            const std::size_t start = pos_;
            pos_ = end;
            const std::string_view text = options_.trim_text ? trim_space(raw) : raw;
            if (text.empty()) continue;
            // Outside the root only white space may stand.
            if (open_.empty() && !options_.fragment && !(options_.trim_text ? text : trim_space(raw)).empty()) {
                fail_at(start, root_seen_ ? "text after the root element" : "text before the root element");
                break;
            }
            ev.kind = EventKind::Text;
            ev.name = {};
            ev.local_name = {};
            ev.attrs = {};
            ev.text = text;
            ev.raw = raw;
            ev.offset = start;
            return true;
        }
        const std::size_t before = pos_;
        if (read_markup(ev)) return true;
        if (error_) break;
        if (pos_ == before) break;  // defensive: markup that consumed nothing would loop
    }
    // End of input, or an error.
    if (!error_ && !open_.empty() && !options_.allow_unclosed_at_eof)
        fail_at(doc_.size(), "element <" + excerpt(open_.back()) + "> not closed before the end of the document");
    if (!error_ && !root_seen_ && !options_.fragment) fail_at(doc_.size(), "no root element");
    ev = Event{};
    ev.offset = doc_.size();
    return false;
}

// Reads the markup at pos_ ('<'). True when it produced an event; false when it was skipped
// (comment, processing instruction, DOCTYPE) or failed (error_ set).
bool Tokenizer::read_markup(Event& ev) {
    const std::size_t start = pos_;
    const std::string_view rest = doc_.substr(start);
    if (rest.size() < 2) return fail_at(start, "unexpected end of document inside markup");
    const char c = rest[1];
    if (c == '/') return read_end_tag(ev);
    if (c == '?') {
        const auto close = rest.find("?>", 2);
        if (close == std::string_view::npos) return fail_at(start, "unterminated processing instruction");
        pos_ = start + close + 2;
        return false;
    }
    if (c == '!') {
        if (rest.starts_with("<!--")) {
            const auto close = rest.find("-->", 4);
            if (close == std::string_view::npos) return fail_at(start, "unterminated comment");
            pos_ = start + close + 3;
            return false;
        }
        if (rest.starts_with("<![CDATA[")) {
            const auto close = rest.find("]]>", 9);
            if (close == std::string_view::npos) return fail_at(start, "unterminated CDATA section");
            if (open_.empty() && !options_.fragment) return fail_at(start, "CDATA section outside the root element");
            ev.kind = EventKind::CData;
            ev.name = {};
            ev.local_name = {};
            ev.attrs = {};
            ev.text = rest.substr(9, close - 9);
            ev.raw = rest.substr(0, close + 3);
            ev.offset = start;
            pos_ = start + close + 3;
            return true;
        }
        if (rest.size() >= 9) {
            bool doctype = true;
            constexpr std::string_view kDoctype = "DOCTYPE";
            for (std::size_t i = 0; i < kDoctype.size(); ++i) {
                char b = rest[2 + i];
                if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
                if (b != kDoctype[i]) {
                    doctype = false;
                    break;
                }
            }
            if (doctype) return skip_doctype(start);
        }
        return fail_at(start, "unknown markup declaration");
    }
    return read_start_tag(ev);
}

bool Tokenizer::read_start_tag(Event& ev) {
    const std::size_t start = pos_;
    const char* s = doc_.data();
    const std::size_t n = doc_.size();
    std::size_t p = start + 1;
    for (; p < n; ++p) {
        const NameByte b = name_byte(s[p]);
        if (b == kEndsName) break;
        if (b == kNotName) return fail_at(start, "invalid element name");
    }
    if (p >= n) return fail_at(start, "unexpected end of document inside a tag");
    const std::size_t name_end = p;
    if (name_end == start + 1) return fail_at(start, "missing element name");
    if (open_.empty() && root_done_ && !options_.fragment) return fail_at(start, "content after the root element");
    // Find the closing '>' outside quoted attribute values.
    while (p < n) {
        const char c = s[p];
        if (c == '>') break;
        if (c == '"' || c == '\'') {
            const char* q = find_byte(s + p + 1, s + n, c);
            if (q == s + n) return fail_at(start, "unexpected end of document inside a tag");
            p = static_cast<std::size_t>(q - s) + 1;
        } else {
            ++p;
        }
    }
    if (p >= n) return fail_at(start, "unexpected end of document inside a tag");
    const std::size_t gt = p;
    const bool empty = s[gt - 1] == '/';
    const std::size_t attrs_end = empty ? gt - 1 : gt;
    ev.kind = empty ? EventKind::Empty : EventKind::Start;
    ev.name = doc_.substr(start + 1, name_end - start - 1);
    ev.local_name = local_name_of(ev.name);
    ev.attrs = attrs_end > name_end ? doc_.substr(name_end, attrs_end - name_end) : doc_.substr(name_end, 0);
    ev.text = {};
    ev.raw = doc_.substr(start, gt + 1 - start);
    ev.offset = start;
    pos_ = gt + 1;
    if (open_.empty()) {
        root_seen_ = true;
        root_done_ = empty;
    }
    if (!empty) open_.push_back(ev.name);
    return true;
}

bool Tokenizer::read_end_tag(Event& ev) {
    const std::size_t start = pos_;
    const char* s = doc_.data();
    const std::size_t n = doc_.size();
    std::size_t p = start + 2;
    while (p < n && !is_space(s[p]) && s[p] != '>') ++p;
    const std::size_t name_end = p;
    while (p < n && is_space(s[p])) ++p;
    if (p >= n) return fail_at(start, "unexpected end of document inside an end tag");
    if (s[p] != '>') return fail_at(start, "malformed end tag");
    const std::string_view name = doc_.substr(start + 2, name_end - start - 2);
    if (name.empty()) return fail_at(start, "missing element name in end tag");
    if (open_.empty()) return fail_at(start, "end tag </" + excerpt(name) + "> without a start tag");
    if (open_.back() != name)
        return fail_at(start, "end tag </" + excerpt(name) + "> does not match start tag <" + excerpt(open_.back()) + ">");
    open_.pop_back();
    root_done_ = open_.empty();
    ev.kind = EventKind::End;
    ev.name = name;
    ev.local_name = local_name_of(name);
    ev.attrs = {};
    ev.text = {};
    ev.raw = doc_.substr(start, p + 1 - start);
    ev.offset = start;
    pos_ = p + 1;
    return true;
}

// Skips "<!DOCTYPE ...>", internal subset included. Nothing in it is interpreted: entities
// declared there stay unknown, so references to them fail when a text is decoded.
bool Tokenizer::skip_doctype(std::size_t start) {
    const std::string_view d = doc_;
    const std::size_t n = d.size();
    std::size_t p = start + 9;
    auto skip_quoted = [&](std::size_t& q) -> bool {
        const auto close = d.find(d[q], q + 1);
        if (close == std::string_view::npos) return false;
        q = close + 1;
        return true;
    };
    while (p < n) {
        const char c = d[p];
        if (c == '>') {
            pos_ = p + 1;
            return false;
        }
        if (c == '"' || c == '\'') {
            if (!skip_quoted(p)) break;
            continue;
        }
        if (c != '[') {
            ++p;
            continue;
        }
        // Internal subset: declarations, comments, PIs and quoted literals up to "]".
        ++p;
        bool closed = false;
        while (p < n) {
            const char b = d[p];
            if (b == ']') {
                ++p;
                closed = true;
                break;
            }
            if (b == '"' || b == '\'') {
                if (!skip_quoted(p)) break;
            } else if (d.compare(p, 4, "<!--") == 0) {
                const auto close = d.find("-->", p + 4);
                if (close == std::string_view::npos) break;
                p = close + 3;
            } else if (d.compare(p, 2, "<?") == 0) {
                const auto close = d.find("?>", p + 2);
                if (close == std::string_view::npos) break;
                p = close + 2;
            } else {
                ++p;
            }
        }
        if (!closed) break;
    }
    return fail_at(start, "unterminated DOCTYPE");
}

// ---------------------------------------------------------------------------------------------
// Text and attribute values

void append_normalized_line_ends(std::string& out, std::string_view s) {
    // A parser hands on every literal CR LF pair and lone CR as one LF; a CR written as a
    // character reference is not touched here and survives.
    for (;;) {
        const auto cr = s.find('\r');
        if (cr == std::string_view::npos) {
            out.append(s);
            return;
        }
        out.append(s.substr(0, cr));
        out.push_back('\n');
        s.remove_prefix(cr + 1);
        if (!s.empty() && s.front() == '\n') s.remove_prefix(1);
    }
}

Result<void> append_unescaped(std::string_view raw, std::string& out, std::size_t offset) {
    std::size_t i = 0;
    for (;;) {
        const auto amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            append_normalized_line_ends(out, raw.substr(i));
            return {};
        }
        append_normalized_line_ends(out, raw.substr(i, amp - i));
        const auto semi = raw.find(';', amp + 1);
        if (semi == std::string_view::npos)
            return fail(xml_error_at(offset + amp, "unterminated reference \"" + excerpt(raw.substr(amp)) + "\""));
        const std::string_view ref = raw.substr(amp + 1, semi - amp - 1);
        if (!ref.empty() && ref.front() == '#') {
            const auto cp = char_ref_value(ref);
            if (!cp || !is_xml_char(*cp))
                return fail(xml_error_at(offset + amp, "invalid character reference &" + excerpt(ref) + ";"));
            utf8::append(out, static_cast<char32_t>(*cp));
        } else if (ref == "lt") {
            out.push_back('<');
        } else if (ref == "gt") {
            out.push_back('>');
        } else if (ref == "amp") {
            out.push_back('&');
        } else if (ref == "apos") {
            out.push_back('\'');
        } else if (ref == "quot") {
            out.push_back('"');
        } else {
            return fail(xml_error_at(offset + amp, "unknown entity reference &" + excerpt(ref) + ";"));
        }
        i = semi + 1;
    }
}

Result<std::string_view> unescape(std::string_view raw, std::string& scratch, std::size_t offset) {
    if (raw.find('&') == std::string_view::npos && raw.find('\r') == std::string_view::npos) return raw;
    scratch.clear();
    if (auto r = append_unescaped(raw, scratch, offset); !r) return fail(std::move(r.error()));
    return std::string_view(scratch);
}

Result<std::string_view> decode(std::string_view raw, std::string& scratch, std::size_t offset) {
    // Most values are short ASCII without references: one pass settles it.
    bool plain = true;
    for (const char c : raw) {
        if ((static_cast<unsigned char>(c) & 0x80) || c == '&' || c == '\r') {
            plain = false;
            break;
        }
    }
    if (plain) return raw;
    // References expand to valid UTF-8, so checking the raw bytes suffices.
    if (auto r = check_utf8_at(raw, offset); !r) return fail(std::move(r.error()));
    return unescape(raw, scratch, offset);
}

Result<std::string_view> text_value(const Event& ev, std::string& scratch) {
    const std::size_t offset = offset_in(ev, ev.text);
    if (ev.kind == EventKind::Text) return decode(ev.text, scratch, offset);
    if (ev.kind == EventKind::CData) {
        if (auto r = check_utf8_at(ev.text, offset); !r) return fail(std::move(r.error()));
        if (ev.text.find('\r') == std::string_view::npos) return ev.text;
        scratch.clear();
        append_normalized_line_ends(scratch, ev.text);
        return std::string_view(scratch);
    }
    return std::string_view{};
}

Result<void> append_text(const Event& ev, std::string& out) {
    const std::size_t offset = offset_in(ev, ev.text);
    if (ev.kind != EventKind::Text && ev.kind != EventKind::CData) return {};
    if (auto r = check_utf8_at(ev.text, offset); !r) return r;
    if (ev.kind == EventKind::CData) {
        append_normalized_line_ends(out, ev.text);
        return {};
    }
    return append_unescaped(ev.text, out, offset);
}

namespace {

enum class AttrScan : std::uint8_t { Ok, End, Malformed, NoValue, Unquoted, Unterminated };

// Reads one attribute of `s` from `i`: on Ok, `name` and `value` are set and `i` moved past
// the closing quote; `at` is where the attribute (or the fault) starts.
inline AttrScan scan_attr(std::string_view s, std::size_t& i, std::string_view& name, std::string_view& value,
                          std::size_t& at) {
    const std::size_t n = s.size();
    while (i < n && is_space(s[i])) ++i;
    if (i >= n) return AttrScan::End;
    at = i;
    const std::size_t name_begin = i;
    while (i < n && !is_space(s[i]) && s[i] != '=' && s[i] != '"' && s[i] != '\'') ++i;
    if (i == name_begin) return AttrScan::Malformed;
    name = s.substr(name_begin, i - name_begin);
    while (i < n && is_space(s[i])) ++i;
    if (i >= n || s[i] != '=') return AttrScan::NoValue;
    ++i;
    while (i < n && is_space(s[i])) ++i;
    if (i >= n || (s[i] != '"' && s[i] != '\'')) return AttrScan::Unquoted;
    const char quote = s[i];
    const std::size_t value_begin = ++i;
    while (i < n && s[i] != quote) ++i;
    if (i >= n) return AttrScan::Unterminated;
    value = s.substr(value_begin, i - value_begin);
    ++i;
    return AttrScan::Ok;
}

[[gnu::cold]] VelmoError attr_error(AttrScan what, std::string_view name, std::size_t offset) {
    switch (what) {
    case AttrScan::NoValue: return xml_error_at(offset, "attribute " + excerpt(name) + " without a value");
    case AttrScan::Unquoted: return xml_error_at(offset, "value of attribute " + excerpt(name) + " is not quoted");
    case AttrScan::Unterminated: return xml_error_at(offset, "unterminated value of attribute " + excerpt(name));
    default: return xml_error_at(offset, "malformed attribute");
    }
}

}  // namespace

AttrIter::AttrIter(const Event& ev) : rest_(ev.attrs), base_(0) {
    if (!ev.attrs.empty()) base_ = offset_in(ev, ev.attrs);
}

Result<bool> AttrIter::next(Attribute& out) {
    std::size_t i = 0, at = 0;
    std::string_view name, value;
    const AttrScan r = scan_attr(rest_, i, name, value, at);
    if (r == AttrScan::End) {
        base_ += rest_.size();
        rest_ = rest_.substr(rest_.size());
        return false;
    }
    if (r != AttrScan::Ok) return fail(attr_error(r, name, base_ + at));
    out.name = name;
    out.value = value;
    out.offset = base_ + static_cast<std::size_t>(value.data() - rest_.data());
    rest_ = rest_.substr(i);
    base_ += i;
    return true;
}

Result<std::optional<std::string_view>> attr_value(const Event& ev, std::string_view name, std::string& scratch) {
    const std::string_view s = ev.attrs;
    std::size_t i = 0, at = 0;
    std::string_view n, value;
    for (;;) {
        const AttrScan r = scan_attr(s, i, n, value, at);
        if (r == AttrScan::End) return std::optional<std::string_view>{};
        if (r != AttrScan::Ok) return fail(attr_error(r, n, offset_in(ev, s) + at));
        if (n == name) {
            auto v = decode(value, scratch, offset_in(ev, value));
            if (!v) return fail(std::move(v.error()));
            return std::optional<std::string_view>{*v};
        }
    }
}

Result<std::optional<std::string>> attr_string(const Event& ev, std::string_view name) {
    std::string scratch;
    auto v = attr_value(ev, name, scratch);
    if (!v) return fail(std::move(v.error()));
    if (!*v) return std::optional<std::string>{};
    return std::optional<std::string>{std::string(**v)};
}

}  // namespace velmo::xml
