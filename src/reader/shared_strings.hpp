#pragma once
// The shared-string table of a package, and the plain-text reading of a string item that both
// the table and inline-string cells use.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The shared strings as read: one plain text per `si`, in index order. Lent to every worksheet
// reader during a load, then dropped.
struct SharedStrings {
    std::vector<std::string> items;

    std::size_t size() const { return items.size(); }
    // The text at `index`, or nullptr when out of range.
    const std::string* find(std::uint64_t index) const { return index < items.size() ? &items[index] : nullptr; }
};

// Reads "xl/sharedStrings.xml". Fails only with an XML error (malformed markup, bad escapes,
// invalid UTF-8 in text).
Result<SharedStrings> parse_shared_strings(std::string_view xml);

// Gathers the plain text of one string item (an `si`, or the `is` of an inline-string cell):
// the texts of its `t` elements at any depth, in order, except those of phonetic runs (`rPh`),
// which hold a reading rather than the string. A `t` marked xml:space="preserve" keeps its
// white space; other texts are trimmed. A CDATA section inside a `t` counts as its literal text.
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
        phonetic_depth_ = 0;
    }
    Result<void> feed(const xml::Event& ev);
    const std::string& text() const { return text_; }
    std::string take() {
        std::string out = std::move(text_);
        reset();
        return out;
    }

private:
    std::string text_;
    std::string scratch_;
    bool in_t_ = false;
    bool preserve_ = false;
    unsigned phonetic_depth_ = 0;
};

}  // namespace velmo::reader
