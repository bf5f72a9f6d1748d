#include "reader/alternate_content.hpp"

#include <algorithm>
#include <string>

namespace velmo::reader {

bool understood_namespace(std::string_view uri) {
    return is_spreadsheet_main_ns(uri) || uri == kRelationshipsNs || uri == kStrictRelationshipsNs;
}

bool PartWalk::in_mc(const xml::Event& ev) const { return ns_.uri_of(xml::prefix_of(ev.name)) == kMarkupCompatibilityNs; }

bool PartWalk::requires_understood(const xml::Event& ev) const {
    std::string scratch;
    const auto list = xml::attr_value(ev, "Requires", scratch);
    if (!list || !*list) return false;
    const auto prefixes = listed_prefixes(**list);
    // A choice that requires nothing is not one a consumer may take.
    return !prefixes.empty() && std::ranges::all_of(prefixes, [&](std::string_view p) {
        const auto uri = ns_.uri_of(p);
        return uri && understood_namespace(*uri);
    });
}

bool PartWalk::sync(std::size_t open, bool end) {
    while (!scope_levels_.empty() && scope_levels_.back() > open) {
        ns_.pop();
        scope_levels_.pop_back();
    }
    bool closes = false;
    while (!frames_.empty() && frames_.back().depth > open) {
        closes = closes || (end && frames_.back().depth == open + 1);
        frames_.pop_back();
    }
    if (drop_depth_ > open) {
        closes = closes || (end && drop_depth_ == open + 1);
        drop_depth_ = 0;
    }
    return closes;
}

PartWalk::Role PartWalk::classify(const xml::Event& ev) {
    const bool start = ev.kind == xml::EventKind::Start;
    // The elements open around the event's own.
    const std::size_t open = tok_.depth() - (start ? 1 : 0);
    if (sync(open, ev.kind == xml::EventKind::End)) return Role::PassedOver;
    if (drop_depth_ != 0) return Role::PassedOver;
    if (!ev.is_tag()) {
        level_ = (ev.kind == xml::EventKind::End ? open + 1 : open) - frames_.size();
        return Role::Content;
    }
    // Bindings first: they apply to the tag's own name and attributes. Only tags that declare a
    // prefix are pushed, so most cost one search of their attributes; one whose attributes do not
    // scan binds what it could, and fails where a reader reads them.
    if (ev.attrs.find("xmlns:") != std::string_view::npos) {
        (void)ns_.push(ev);
        scope_levels_.push_back(open + 1);
    }
    level_ = open + 1 - frames_.size();
    if (frames_.empty() && ev.local_name != kAlternateContent) return Role::Content;
    return tag(ev, open + 1);
}

PartWalk::Role PartWalk::tag(const xml::Event& ev, std::size_t depth) {
    const bool start = ev.kind == xml::EventKind::Start;
    const std::string_view local = ev.local_name;
    const bool in_wrapper = !frames_.empty() && !frames_.back().branch && frames_.back().depth + 1 == depth;
    if (!in_wrapper) {
        if (local != kAlternateContent || !in_mc(ev)) return Role::Content;
        if (options_.whole_at == depth && frames_.empty() && (!start || !branches_hold())) {
            // Should the reader walk on instead of reading past it, nothing inside is content.
            if (start) drop_depth_ = depth;
            return Role::Whole;
        }
        if (start) frames_.push_back({depth, false});
        return Role::PassedOver;
    }
    Frame& wrapper = frames_.back();
    if ((local != "Choice" && local != "Fallback") || !in_mc(ev) || wrapper.taken ||
        (local == "Choice" && !requires_understood(ev)))
        return drop(depth, !start);
    wrapper.taken = true;
    if (start) frames_.push_back({depth, true});
    return Role::PassedOver;
}

PartWalk::Role PartWalk::drop(std::size_t depth, bool empty) {
    if (empty) return Role::PassedOver;
    if (options_.walk_dropped) drop_depth_ = depth;
    else (void)tok_.skip_element();  // a failure is the tokenizer's, reported at its next event
    return Role::PassedOver;
}

// Reads ahead through the AlternateContent just started, looking through nested alternatives:
// a branch holding only another alternative holds what that one's branches hold.
bool PartWalk::branches_hold() const {
    if (!options_.reads) return false;
    enum Kind : std::uint8_t { Opaque, Alternative, Branch };
    xml::Tokenizer probe = tok_;
    const std::size_t top = probe.depth();
    std::vector<Kind> open{Alternative};  // the kind of each element open from the wrapper down
    xml::Event ev;
    while (probe.depth() >= top && probe.next(ev)) {
        if (ev.kind == xml::EventKind::End) {
            open.pop_back();
            continue;
        }
        if (!ev.is_tag()) continue;
        Kind kind = Opaque;
        if (open.back() == Alternative && (ev.local_name == "Choice" || ev.local_name == "Fallback")) {
            kind = Branch;
        } else if (open.back() == Branch) {
            if (ev.local_name == kAlternateContent) kind = Alternative;
            else if (options_.reads(ev.local_name)) return true;
        }
        if (ev.kind == xml::EventKind::Start) open.push_back(kind);
    }
    return false;
}

}  // namespace velmo::reader
