#pragma once
// The shared-string table of a package, and the plain-text reading of a string item that both
// the table and inline-string cells use.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/error.hpp"
#include "model/text.hpp"
#include "reader/namespaces.hpp"
#include "reader/raw_element.hpp"
#include "xml/hex_escapes.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The shared strings as read: one plain text per `si`, in index order. Lent to every worksheet
// reader during a load, then dropped; the cells that use a text share it.
struct SharedStrings {
    std::vector<Text> items;
    // The items with runs or phonetic readings, by index, each kept whole (keep_string_item).
    std::unordered_map<std::uint64_t, std::shared_ptr<const std::string>> rich;

    std::size_t size() const { return items.size(); }
    // The text at `index`, or nullptr when out of range.
    const Text* find(std::uint64_t index) const { return index < items.size() ? &items[index] : nullptr; }
    // The kept item at `index`, or null when it is plain text.
    std::shared_ptr<const std::string> rich_item(std::uint64_t index) const {
        if (rich.empty()) return nullptr;
        const auto it = rich.find(index);
        return it == rich.end() ? nullptr : it->second;
    }
};

// Reads "xl/sharedStrings.xml". Fails only with an XML error (malformed markup, bad escapes,
// invalid UTF-8 in text).
Result<SharedStrings> parse_shared_strings(std::string_view xml);

// The string item `element` (a whole `si` or `is` element, from its start tag to its end tag, as it
// stands in its part) as the `si` element a shared strings part of the writer's takes back: runs,
// phonetic runs and their properties as written, a prefix of the main namespace dropped and the
// declarations of other prefixes carried. `scope` holds the bindings in force where it stands.
// Null when it cannot be written back well-formed (a bad escape, a prefix bound nowhere).
// `plain` remembers what the earlier items of the part showed (PlainElements).
std::shared_ptr<const std::string> keep_string_item(std::string_view element, const NamespaceScope& scope,
                                                    PlainElements& plain);

// A note's `text` element (runs, their properties, phonetic runs) captured the same way, for the
// comments part of the writer's, when PlainElements found it could not be kept as it stands; none
// when it cannot be written back well-formed.
std::optional<std::string> keep_note_text(std::string_view element, const NamespaceScope& scope);

// Gathers the plain text of one string item (an `si`, or the `is` of an inline-string cell):
// the texts of its `t` elements at any depth, in order, except those of phonetic runs (`rPh`),
// which hold a reading rather than the string. A `t` marked xml:space="preserve" keeps its
// white space; other texts are trimmed. A CDATA section inside a `t` counts as its literal text.
// Each `t`'s hex escapes (hex_escapes.hpp) are decoded at its end.
//
// Feed it the events between the item's start and end tags. It reads Text events from their
// raw bytes, so it works whether or not the tokenizer trims; a tokenizer that trims drops
// white-space-only texts before they get here, so readers that need those keep trim_text off.
class StringItemText {
public:
    void reset() {
        text_.clear();
        in_t_ = false;
        preserve_ = false;
        marked_up_ = false;
        phonetic_depth_ = 0;
    }
    Result<void> feed(const xml::Event& ev);
    const std::string& text() const { return text_; }
    // Whether the item has runs or phonetic readings: more than its plain text to keep.
    bool marked_up() const { return marked_up_; }
    std::string take() {
        end_t();
        std::string out = std::move(text_);
        reset();
        return out;
    }
    // The item's text as a cell value; the next item reuses the buffer it was gathered in.
    Text take_text() {
        end_t();
        Text out(text_);
        reset();
        return out;
    }

private:
    void end_t() {
        if (in_t_) xml::decode_hex_escapes(text_, t_start_);
        in_t_ = false;
    }

    std::string text_;
    std::size_t t_start_ = 0;  // where the open `t`'s text starts in text_
    std::string scratch_;
    bool in_t_ = false;
    bool preserve_ = false;
    bool marked_up_ = false;
    unsigned phonetic_depth_ = 0;
};

}  // namespace velmo::reader
