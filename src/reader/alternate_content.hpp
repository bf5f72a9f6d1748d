#pragma once
// Markup-compatibility alternatives in the parts a reader walks. Of an mc:AlternateContent, a
// reader takes one branch: the first mc:Choice whose required namespaces it understands, else the
// mc:Fallback, else nothing; what the branch holds reads as if it stood in the wrapper's place.
// Taking two would count a record twice in a list whose positions are ids (fonts, cell formats,
// shared strings, sheets).

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// Whether the readers model the elements of namespace `uri`: SpreadsheetML's own and the
// relationships namespace. An extension they carry without interpreting it does not count: a
// choice that requires one stays for the applications that read it.
bool understood_namespace(std::string_view uri);

// Tracks the alternatives open around a reader's position. Feed it the tags the reader does not
// handle first (a cell's or a value's never wrap anything): a tag is content, a wrapper to pass
// over, or dropped with everything it holds.
class Alternatives {
public:
    // `outer` holds the bindings in force where the reader stands; it must outlive this. When
    // `outer_tracks_all` is false (a reader that keeps only the root's bindings, say), the
    // declarations the wrappers make are tracked here.
    explicit Alternatives(const NamespaceScope& outer, bool outer_tracks_all = true)
        : scope_(NamespaceScope::over(outer)), own_bindings_(!outer_tracks_all) {}

    enum class Tag : std::uint8_t {
        Content,  // not markup compatibility: the reader acts on it as on any tag
        Wrapper,  // an AlternateContent, or the branch taken: the reader passes over the tag alone
        Dropped,  // a branch not taken, or anything else an AlternateContent holds
    };

    // False when `ev` is content for certain: the test a reader makes before tag().
    bool may_wrap(const xml::Event& ev) const { return !frames_.empty() || ev.local_name == kAlternateContent; }

    // A start or self-closing tag of an element at `depth` (the root at 1). After Dropped for a
    // start tag the reader either skip()s the element or, walking on, acts on nothing while
    // dropping().
    Tag tag(const xml::Event& ev, std::size_t depth);

    // Whether `ev` is an AlternateContent start or self-closing tag, its prefix bound to the
    // markup-compatibility namespace (its own declarations counted).
    bool is_alternate_content(const xml::Event& ev);

    // The end tag of an element at `depth`: true when it closes a wrapper or the element dropped.
    bool end(std::size_t depth);

    // Inside an element dropped and not skipped.
    bool dropping() const { return drop_depth_ != 0; }
    // Reads past the end of the element just dropped.
    Result<void> skip(xml::Tokenizer& tok);

    // For a reader that walks the tokenizer itself and acts on content alone: true when `ev` is
    // markup compatibility to pass over, a branch not taken read past (a failure there is the
    // tokenizer's, whose next() then returns false).
    bool pass_over(xml::Tokenizer& tok, const xml::Event& ev) {
        if (ev.kind == xml::EventKind::End) return !frames_.empty() && end(tok.depth() + 1);
        return ev.is_tag() && may_wrap(ev) && pass_over_tag(tok, ev);
    }

    // Wrappers open around the reader's position: an element's depth less this is the depth it
    // counts at, as if its alternatives had never been written.
    std::size_t open() const { return frames_.size(); }

private:
    static constexpr std::string_view kAlternateContent = "AlternateContent";

    struct Frame {
        std::size_t depth;
        bool branch;        // a branch taken, else an AlternateContent
        bool taken = false;  // an AlternateContent whose branch is chosen
        bool bound = false;  // its declarations are in scope_
    };

    // Whether `ev`'s prefix names the markup-compatibility namespace; its declarations enter
    // scope_ first (`bound` tells), to be left by unbind().
    bool in_mc(const xml::Event& ev, bool& bound);
    void unbind(bool bound) {
        if (bound) scope_.pop();
    }
    bool requires_understood(const xml::Event& ev) const;
    bool pass_over_tag(xml::Tokenizer& tok, const xml::Event& ev);

    NamespaceScope scope_;
    bool own_bindings_;
    std::vector<Frame> frames_;
    std::size_t drop_depth_ = 0;
};

// Whether the AlternateContent whose start tag the tokenizer has just returned holds, as a child
// of one of its branches, an element whose local name `wanted` accepts; the tokenizer is left where
// it was.
bool branches_hold(const xml::Tokenizer& tok, bool (*wanted)(std::string_view local_name));

}  // namespace velmo::reader
