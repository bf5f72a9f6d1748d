#include "reader/kept_xml.hpp"

#include "xml/utf8.hpp"
#include "xml/white_space.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::reader {

VelmoError unbound_prefix(std::string_view prefix, std::string_view where, std::string_view what) {
    return VelmoError::xml("unbound namespace prefix \"" + std::string(prefix) + "\" in <" + std::string(where) +
                           "> of " + std::string(what));
}

void KeptXml::reset() {
    xml_.clear();
    names_.clear();
    ns_.reset();
}

Result<void> KeptXml::open(const xml::Event& ev, bool empty, const HostAttributes& host) {
    const size_t depth = names_.size() + 1;  // the element's own depth
    // Declarations first: they apply to the element's own name and attributes.
    if (auto r = ns_.open(ev); !r) return r;
    std::string_view name = ev.name;
    if (const auto prefix = xml::prefix_of(name); !prefix.empty()) {
        // A name that is a prefix alone ("x:") keeps it, whatever it is bound to: dropped, it
        // would leave no name at all.
        const auto need = ns_.need(prefix, !ev.local_name.empty(), &host);
        if (need == KeptNamespaces::Need::Unbound) return fail(unbound_prefix(prefix, ev.name, what_));
        if (need == KeptNamespaces::Need::Drop) name = ev.local_name;
    }
    for (const auto p : ns_.attribute_prefixes())  // attribute prefixes are never dropped
        if (ns_.need(p, false, &host) == KeptNamespaces::Need::Unbound) return fail(unbound_prefix(p, ev.name, what_));
    ns_.need_required(ev, &host);

    xml_ += '<';
    xml_ += name;
    if (depth == 1) insert_at_ = xml_.size();
    xml_ += ev.attrs;
    if (empty) {
        xml_ += "/>";
        close_scope(depth);
    } else {
        xml_ += '>';
        names_.emplace_back(name);
    }
    return {};
}

void KeptXml::close() {
    xml_ += "</";
    xml_ += names_.back();
    xml_ += '>';
    close_scope(names_.size());
    names_.pop_back();
}

Result<void> KeptXml::text(const xml::Event& ev) {
    if (ev.kind == xml::EventKind::CData) {
        // Kept as character data; the writer copies the XML unescaped, so escape it here. A parser
        // reads the section's line ends as LF and its tabs and LFs as they stand, so they are
        // written so, not as references.
        if (const auto bad = xml::check_utf8(ev.text))
            return fail(VelmoError::xml("invalid UTF-8 (" + xml::utf8_error_message(*bad) + ") at byte " +
                                        std::to_string(ev.offset)));
        scratch_.clear();
        xml::append_normalized_line_ends(scratch_, ev.text);
        (void)xml::append_escaped_text(xml_, scratch_);
        return {};
    }
    const std::string_view piece = xml::trim_space(ev.raw);
    if (piece.empty()) return {};
    auto ok = xml::decode(piece, scratch_, ev.offset + static_cast<size_t>(piece.data() - ev.raw.data()));
    if (!ok) return fail(std::move(ok.error()));
    xml_ += piece;  // its escaped form, as read
    return {};
}

Result<std::string> KeptXml::take() {
    std::string out;
    if (auto ok = take_into(out); !ok) return fail(std::move(ok.error()));
    return out;
}

Result<void> KeptXml::take_into(std::string& out) {
    if (const auto bad = xml::check_utf8(xml_))
        return fail(VelmoError::xml("invalid UTF-8 in " + what_ + " (" + xml::utf8_error_message(*bad) + ")"));
    if (out.empty()) out.swap(xml_);
    else out += xml_;
    reset();
    return {};
}

// The outermost kept element carries the declarations its subtree needs from outside.
void KeptXml::close_scope(size_t depth) {
    ns_.close();
    if (depth == 1) ns_.write_carried(xml_, insert_at_);
}

}  // namespace velmo::reader
