#include "reader/alternate_content.hpp"

#include <algorithm>
#include <string>

namespace velmo::reader {

bool understood_namespace(std::string_view uri) {
    return is_spreadsheet_main_ns(uri) || uri == kRelationshipsNs || uri == kStrictRelationshipsNs;
}

bool Alternatives::in_mc(const xml::Event& ev, bool& bound) {
    bound = false;
    if (own_bindings_ && ev.attrs.find("xmlns") != std::string_view::npos) {
        // A tag whose declarations do not scan binds what it could; its attributes fail where read.
        (void)scope_.push(ev);
        bound = true;
    }
    return scope_.uri_of(xml::prefix_of(ev.name)) == kMarkupCompatibilityNs;
}

bool Alternatives::requires_understood(const xml::Event& ev) const {
    std::string scratch;
    const auto list = xml::attr_value(ev, "Requires", scratch);
    if (!list || !*list) return false;
    const auto prefixes = listed_prefixes(**list);
    // A choice that requires nothing is not one a consumer may take.
    return !prefixes.empty() && std::ranges::all_of(prefixes, [&](std::string_view p) {
        const auto uri = scope_.uri_of(p);
        return uri && understood_namespace(*uri);
    });
}

bool Alternatives::is_alternate_content(const xml::Event& ev) {
    if (ev.local_name != kAlternateContent) return false;
    bool bound = false;
    const bool mc = in_mc(ev, bound);
    unbind(bound);
    return mc;
}

Alternatives::Tag Alternatives::tag(const xml::Event& ev, std::size_t depth) {
    if (dropping()) return Tag::Dropped;
    const bool start = ev.kind == xml::EventKind::Start;
    const bool in_wrapper = !frames_.empty() && !frames_.back().branch && frames_.back().depth + 1 == depth;
    const std::string_view local = ev.local_name;
    if (!in_wrapper && local != kAlternateContent) return Tag::Content;
    if (in_wrapper && local != "Choice" && local != "Fallback") {
        if (start) drop_depth_ = depth;
        return Tag::Dropped;
    }
    bool bound = false;
    if (!in_mc(ev, bound)) {
        unbind(bound);
        if (!in_wrapper) return Tag::Content;
        if (start) drop_depth_ = depth;
        return Tag::Dropped;
    }
    if (in_wrapper) {
        Frame& wrapper = frames_.back();
        if (wrapper.taken || (local == "Choice" && !requires_understood(ev))) {
            unbind(bound);
            if (start) drop_depth_ = depth;
            return Tag::Dropped;
        }
        wrapper.taken = true;
    }
    if (start) {
        frames_.push_back(Frame{depth, in_wrapper, false, bound});
    } else {
        unbind(bound);
    }
    return Tag::Wrapper;
}

bool Alternatives::end(std::size_t depth) {
    if (drop_depth_ == depth) {
        drop_depth_ = 0;
        return true;
    }
    if (frames_.empty() || frames_.back().depth != depth) return false;
    unbind(frames_.back().bound);
    frames_.pop_back();
    return true;
}

Result<void> Alternatives::skip(xml::Tokenizer& tok) {
    const std::size_t depth = drop_depth_;
    drop_depth_ = 0;
    xml::Event ev;
    while (tok.depth() >= depth && tok.next(ev)) {
    }
    if (!tok.ok()) return fail(tok.error());
    return {};
}

bool Alternatives::pass_over_tag(xml::Tokenizer& tok, const xml::Event& ev) {
    const bool empty = ev.kind == xml::EventKind::Empty;
    const Tag t = tag(ev, tok.depth() + (empty ? 1 : 0));
    if (t == Tag::Dropped && !empty) (void)skip(tok);
    return t != Tag::Content;
}

bool branches_hold(const xml::Tokenizer& tok, bool (*wanted)(std::string_view local_name)) {
    xml::Tokenizer probe = tok;
    const std::size_t depth = probe.depth();
    xml::Event ev;
    while (probe.depth() >= depth && probe.next(ev)) {
        const std::size_t at = probe.depth() + (ev.kind == xml::EventKind::Empty ? 1 : 0);
        if (ev.is_tag() && at == depth + 2 && wanted(ev.local_name))
            return true;
    }
    return false;
}

}  // namespace velmo::reader
