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

#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// Whether the readers model the elements of namespace `uri`: SpreadsheetML's own and the
// relationships namespace. An extension they carry without interpreting it does not count: a
// choice that requires one stays for the applications that read it.
bool understood_namespace(std::string_view uri);

struct PartWalkOptions {
    // Branches not taken are read past at their start tags, or, for a reader that keeps
    // elements whole whatever they hold, walked and handed over as PassedOver.
    bool walk_dropped = false;
    // Alternatives at this level (the root at 1), with none open around them, are kept whole
    // (Role::Whole) unless a branch holds, through any nesting of alternatives, an element
    // whose local name `reads` accepts: kept whole, that would be written twice.
    std::size_t whole_at = 0;
    bool (*reads)(std::string_view local_name) = nullptr;
};

// Walks a part's events for a reader: the namespace bindings in scope at each event, and one
// branch of each alternative. Every reader goes through it, so that the bindings a wrapper
// declares are entered and left in one place, whatever the reader does with the events.
//
// State is kept by depth and brought up to date at each event, so a reader may read an element
// past its end tag itself (a capture, a skip, a fast path over plain cells): what that element
// opened is closed at the next event seen.
class PartWalk {
public:
    enum class Role : std::uint8_t {
        Content,     // the reader acts on it as on any event
        Whole,       // an AlternateContent to keep as it stands: the reader reads past it
        PassedOver,  // a wrapper, a branch not taken or what it holds: read for nothing
    };

    using Options = PartWalkOptions;

    // `outer`, when given, holds the bindings in force where the walk starts (a reader handed an
    // element halfway through a part) and must outlive this.
    explicit PartWalk(xml::Tokenizer& tok, Options options = {}, const NamespaceScope* outer = nullptr)
        : tok_(tok), options_(options), ns_(outer ? NamespaceScope::over(*outer) : NamespaceScope{}) {}

    // The next event the reader acts on: Content and Whole, and PassedOver too when walking
    // dropped branches (role() tells). False at the end of the part or on the tokenizer's error.
    bool next(xml::Event& ev) {
        while (tok_.next(ev)) {
            role_ = see(ev);
            if (role_ != Role::PassedOver || options_.walk_dropped) return true;
        }
        return false;
    }
    Role role() const { return role_; }

    // For a reader that pulls events from the tokenizer itself: the role of the event it has just
    // returned. A branch not taken is read past here unless walking dropped branches; a failure
    // there is the tokenizer's, whose next() then returns false.
    Role see(const xml::Event& ev) {
        const Role role = classify(ev);
        at_content_ = drop_depth_ == 0 && (frames_.empty() || frames_.back().branch);
        return role;
    }

    // Whether the reader stands where content may start: outside alternatives, or in a branch
    // taken. A reader that reads some elements without showing them here checks this first.
    bool at_content() const { return at_content_; }

    // The bindings in force at the last event seen (a tag's own included).
    const NamespaceScope& ns() const { return ns_; }

    // The depth of the last event's element (for a text, of the element holding it), the root at
    // 1, counted as if the alternatives around it had never been written.
    std::size_t level() const { return level_; }

private:
    static constexpr std::string_view kAlternateContent = "AlternateContent";

    struct Frame {
        std::size_t depth;
        bool branch;         // a branch taken, else an AlternateContent
        bool taken = false;  // an AlternateContent whose branch is chosen
    };

    Role classify(const xml::Event& ev);
    // Closes what the elements deeper than `open` (those open around the event's own) left
    // behind; for an end tag, true when it closes a wrapper or a dropped element.
    bool sync(std::size_t open, bool end);
    Role tag(const xml::Event& ev, std::size_t depth);
    Role drop(std::size_t depth, bool empty);
    bool in_mc(const xml::Event& ev) const;
    bool requires_understood(const xml::Event& ev) const;
    bool branches_hold() const;

    xml::Tokenizer& tok_;
    Options options_;
    NamespaceScope ns_;
    std::vector<std::size_t> scope_levels_;  // the depth of each tag pushed on ns_
    std::vector<Frame> frames_;
    std::size_t drop_depth_ = 0;  // of the element dropped and walked through, or kept whole
    std::size_t level_ = 0;
    Role role_ = Role::Content;
    bool at_content_ = true;  // at_content() as of the last event seen, kept for the cell path
};

}  // namespace velmo::reader
