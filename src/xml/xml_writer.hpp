#pragma once
// Builds an XML document in one growing std::string: declaration, tags, attributes and text with
// table-driven escaping, no indentation and no white space between elements.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "model/error.hpp"
#include "xml/number_format.hpp"

namespace velmo::xml {

inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";

// A character that no XML 1.0 document can carry: U+0000-U+0008, U+000B, U+000C,
// U+000E-U+001F, U+FFFE, U+FFFF, or a byte that is not part of valid UTF-8.
struct DisallowedChar {
    std::size_t offset = 0;        // byte offset in the text
    std::uint32_t code_point = 0;  // the character; the byte's value when invalid_utf8
    bool invalid_utf8 = false;
};

// The first character of `text` that cannot be written to XML, or none. Serialisers check
// user texts with it first, so that a save can fail naming the sheet and cell.
std::optional<DisallowedChar> find_disallowed_char(std::string_view text);

// Escaping, appended to `out`. Both replace & < > " ' by their entity references; a text
// also writes CR as "&#13;" (a reader would turn a raw CR into LF), an attribute value also
// writes tab, LF and CR as "&#9;", "&#10;", "&#13;" (a reader would turn them into spaces).
// Return false when `s` holds a disallowed control character or U+FFFE/U+FFFF (written
// anyway; the caller decides).
bool append_escaped_text(std::string& out, std::string_view s);
bool append_escaped_attr(std::string& out, std::string_view s);
// Like append_escaped_text for the texts readers decode hex escapes in (hex_escapes.hpp): the
// characters XML does not allow are written as escapes, and a literal escape is marked so that it
// reads back as itself.
void append_hex_escaped_text(std::string& out, std::string_view s);
// The same for attribute values (table column names, which hold header cells' texts).
void append_hex_escaped_attr(std::string& out, std::string_view s);

// One attribute for the whole-tag writers.
struct Attr {
    std::string_view name;
    std::string_view value;
};

template <class T>
concept IntegerValue = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

class XmlWriter {
public:
    explicit XmlWriter(std::size_t reserve = 0) { buf_.reserve(reserve); }

    // A writer that has written the declaration already.
    static XmlWriter with_declaration(std::size_t reserve = 0) {
        XmlWriter w(reserve);
        w.declaration();
        return w;
    }

    void declaration() { buf_ += kXmlDeclaration; }

    // "<name a="v"...>", "<name a="v".../>", "</name>".
    void start(std::string_view name, std::initializer_list<Attr> attrs = {}) {
        open(name);
        for (const Attr& a : attrs) attr(a.name, a.value);
        close_start();
    }
    void empty(std::string_view name, std::initializer_list<Attr> attrs = {}) {
        open(name);
        for (const Attr& a : attrs) attr(a.name, a.value);
        close_empty();
    }
    void end(std::string_view name) {
        buf_ += "</";
        buf_ += name;
        buf_ += '>';
    }

    // A tag built piece by piece: open(name), then attr(...) calls, then close_start() or
    // close_empty().
    XmlWriter& open(std::string_view name) {
        buf_ += '<';
        buf_ += name;
        return *this;
    }
    XmlWriter& attr(std::string_view name, std::string_view value) {
        attr_head(name);
        note(append_escaped_attr(buf_, value));
        buf_ += '"';
        return *this;
    }
    XmlWriter& hex_attr(std::string_view name, std::string_view value) {
        attr_head(name);
        append_hex_escaped_attr(buf_, value);
        buf_ += '"';
        return *this;
    }
    template <IntegerValue T>
    XmlWriter& attr(std::string_view name, T value) {
        attr_head(name);
        if constexpr (std::is_signed_v<T>) append_i64(buf_, value);
        else append_u64(buf_, value);
        buf_ += '"';
        return *this;
    }
    XmlWriter& attr(std::string_view name, double value) {
        attr_head(name);
        append_f64(buf_, value);
        buf_ += '"';
        return *this;
    }
    void close_start() { buf_ += '>'; }
    void close_empty() { buf_ += "/>"; }

    // Escaped character data.
    void text(std::string_view s) { note(append_escaped_text(buf_, s)); }
    // Cell text and notes: escaped character data with hex escapes (append_hex_escaped_text).
    void hex_text(std::string_view s) { append_hex_escaped_text(buf_, s); }
    template <IntegerValue T>
    void text(T value) {
        if constexpr (std::is_signed_v<T>) append_i64(buf_, value);
        else append_u64(buf_, value);
    }
    void text(double value) { append_f64(buf_, value); }

    // Bytes written as they are: text templates and elements kept verbatim from a source.
    void raw(std::string_view bytes) { buf_ += bytes; }

    // False once a text or attribute value held a character XML does not allow.
    bool ok() const { return ok_; }
    const std::string& buffer() const { return buf_; }
    std::string& buffer() { return buf_; }

    // The finished part, or an XML error when a disallowed character was written.
    Result<std::string> finish() &&;

private:
    void attr_head(std::string_view name) {
        buf_ += ' ';
        buf_ += name;
        buf_ += "=\"";
    }
    void note(bool clean) { ok_ = ok_ && clean; }

    std::string buf_;
    bool ok_ = true;
};

}  // namespace velmo::xml
