#pragma once
// A zero-copy pull tokenizer over a whole XML document held in memory.
//
// Every view handed out points into the document (or into a caller's scratch string), so the
// document must outlive the tokenizer and its events. The tokenizer checks what it must to
// find event boundaries (tags, end-tag matching, comments, CDATA, a DOCTYPE to skip), that
// element names are names, and that a document is one: a root element with nothing but white
// space, comments and processing instructions around it, not UTF-16. Text and attribute values
// are only unescaped and UTF-8-checked when a reader asks for them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"

namespace velmo::xml {

enum class EventKind : std::uint8_t { Start, Empty, End, Text, CData, Eof };

struct Event {
    EventKind kind = EventKind::Eof;
    // Start, Empty, End: the qualified name as written, and the part after its first ":".
    std::string_view name;
    std::string_view local_name;
    // Start, Empty: the raw bytes between the name and ">" (or "/>"), attributes still escaped.
    std::string_view attrs;
    // Text: the escaped text (trimmed unless the tokenizer keeps white space).
    // CData: the section's content, taken literally.
    std::string_view text;
    // The exact source bytes of the event: "<c r=\"A1\">", "</c >", the untrimmed text,
    // "<![CDATA[...]]>". Empty for Eof.
    std::string_view raw;
    // Byte offset of `raw` in the document (the document's size for Eof).
    std::size_t offset = 0;

    bool is_start(std::string_view local) const { return kind == EventKind::Start && local_name == local; }
    bool is_empty(std::string_view local) const { return kind == EventKind::Empty && local_name == local; }
    bool is_end(std::string_view local) const { return kind == EventKind::End && local_name == local; }
    // A start tag or a self-closing tag: the two events that carry attributes.
    bool is_tag() const { return kind == EventKind::Start || kind == EventKind::Empty; }
};

struct TokenizerOptions {
    // Drop space, tab, CR and LF at both ends of each text and drop texts left empty.
    bool trim_text = true;
    // Report Eof with elements still open instead of failing; the reader then sees depth() > 0.
    bool allow_unclosed_at_eof = false;
    // Read a fragment (elements and text side by side, or none) rather than a whole document.
    bool fragment = false;
};

// The local name of a qualified name: what follows its first ":", or the whole name.
inline std::string_view local_name_of(std::string_view qname) {
    const auto colon = qname.find(':');
    return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

// The prefix of a qualified name; empty when it has none.
inline std::string_view prefix_of(std::string_view qname) {
    const auto colon = qname.find(':');
    return colon == std::string_view::npos ? std::string_view{} : qname.substr(0, colon);
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view doc, TokenizerOptions options = {});

    // Reads the next event into `ev`. Returns false at the end of the document (ev.kind is
    // Eof) and on an error (ev.kind is Eof too, and ok() is false); every later call returns
    // false again. Comments, processing instructions, the XML declaration and a DOCTYPE are
    // skipped, never reported.
    bool next(Event& ev);

    bool ok() const { return !error_.has_value(); }
    // The error that stopped the tokenizer; only meaningful when ok() is false.
    const VelmoError& error() const { return *error_; }

    // Elements open after the last event (a Start counts until its End).
    std::size_t depth() const { return open_.size(); }
    // Offset of the first byte not yet consumed.
    std::size_t position() const { return pos_; }
    // For a reader that has matched the rest of the innermost open element itself, its content and
    // its end tag, in the source from position() on: continues at `end`, just past that end tag, with
    // the element closed. The bytes skipped are not looked at again.
    void skip_to_close(std::size_t end) {
        if (open_.empty() || end < pos_ || end > doc_.size()) return;
        open_.pop_back();
        root_done_ = open_.empty();
        pos_ = end;
    }
    // The same for whole elements matched from position() on: continues at `end`, the open elements
    // unchanged.
    void skip_complete(std::size_t end) {
        if (end < pos_ || end > doc_.size()) return;
        pos_ = end;
    }
    std::string_view source() const { return doc_; }
    // Reads past the end tag of the innermost open element, what it holds unread; false at an
    // error (then ok() is false) or when no element is open.
    bool skip_element() {
        const std::size_t depth = open_.size();
        Event ev;
        while (depth > 0 && open_.size() >= depth && next(ev)) {
        }
        return depth > 0 && ok();
    }

private:
    bool fail_at(std::size_t offset, std::string detail);
    bool read_markup(Event& ev);
    bool read_end_tag(Event& ev);
    bool read_start_tag(Event& ev);
    bool skip_doctype(std::size_t start);

    std::string_view doc_;
    std::size_t pos_ = 0;
    TokenizerOptions options_;
    std::vector<std::string_view> open_;
    // A root element has started; it has ended.
    bool root_seen_ = false;
    bool root_done_ = false;
    std::optional<VelmoError> error_;
};

// Expands the five predefined entities and character references of an escaped text or
// attribute value. Returns `raw` itself when it holds no "&", otherwise a view of `scratch`
// (overwritten). `offset` is raw's position in the document, for messages. Any other entity,
// an "&" without its ";", and a reference to a character XML does not allow are XML errors.
Result<std::string_view> unescape(std::string_view raw, std::string& scratch, std::size_t offset = 0);

// Appends `s` with every literal CR LF pair and lone CR turned into LF, as XML parsers must.
void append_normalized_line_ends(std::string& out, std::string_view s);

// Like unescape, appending the result to `out`.
Result<void> append_unescaped(std::string_view raw, std::string& out, std::size_t offset = 0);

// unescape, plus the check that the text is UTF-8 (else an XML error). What readers use.
Result<std::string_view> decode(std::string_view raw, std::string& scratch, std::size_t offset = 0);

// The content of a Text event decoded, or of a CData event taken literally; both UTF-8-checked.
// A view of the document or of `scratch`.
Result<std::string_view> text_value(const Event& ev, std::string& scratch);

// Like text_value, appending to `out` (for readers that join the texts of an element).
Result<void> append_text(const Event& ev, std::string& out);

// One attribute of a tag as written.
struct Attribute {
    std::string_view name;   // full name, prefix included
    std::string_view value;  // between the quotes, still escaped
    std::size_t offset = 0;  // document offset of `value`
};

// Walks the attributes of a Start or Empty event in document order. Malformed attribute
// syntax met on the way (no "=", no quotes, an unterminated value) is an XML error.
class AttrIter {
public:
    explicit AttrIter(const Event& ev);
    // True with `out` filled, false after the last attribute, or an error.
    Result<bool> next(Attribute& out);

private:
    std::string_view rest_;
    std::size_t base_;
};

// The value of the first attribute whose full name equals `name` byte for byte (a prefix is
// part of the name), decoded (unescaped, UTF-8-checked); none when absent. The view points
// into the document or into `scratch`, and stays valid until `scratch` is used again.
Result<std::optional<std::string_view>> attr_value(const Event& ev, std::string_view name, std::string& scratch);

// attr_value as an owned string.
Result<std::optional<std::string>> attr_string(const Event& ev, std::string_view name);

}  // namespace velmo::xml
