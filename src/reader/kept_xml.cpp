#include "reader/kept_xml.hpp"

#include "xml/utf8.hpp"
#include "xml/white_space.hpp"

namespace velmo::reader {

namespace {

void append_escaped(std::string& out, std::string_view s) {
    for (const char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
}

}  // namespace

std::optional<std::string_view> declared_prefix(std::string_view attr_name) {
    if (attr_name == "xmlns") return std::string_view{};
    if (attr_name.starts_with("xmlns:")) return attr_name.substr(6);
    return std::nullopt;
}

VelmoError unbound_prefix(std::string_view prefix, std::string_view where, std::string_view what) {
    return VelmoError::xml("unbound namespace prefix \"" + std::string(prefix) + "\" in <" + std::string(where) +
                           "> of " + std::string(what));
}

void KeptXml::reset() {
    xml_.clear();
    inner_.clear();
    inner_index_.clear();
    names_.clear();
    clear_carried();
    host_decls_.reset();
}

Result<void> KeptXml::open(const xml::Event& ev, bool empty, const HostAttributes& host) {
    const size_t depth = names_.size() + 1;  // the element's own depth
    // Declarations first: they apply to the element's own name and attributes.
    prefixed_.clear();
    xml::AttrIter it(ev);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        // Values are copied escaped as written, so check now that they decode.
        auto value = xml::decode(a.value, scratch_, a.offset);
        if (!value) return fail(std::move(value.error()));
        if (auto p = declared_prefix(a.name)) {
            const size_t index = inner_.size();
            auto [slot, inserted] = inner_index_.try_emplace(std::string(*p), index);
            const size_t shadowed = inserted ? kNone : std::exchange(slot->second, index);
            inner_.push_back({std::string(*p), std::string(*value), depth, shadowed});
        } else if (const auto p2 = xml::prefix_of(a.name); !p2.empty()) {
            prefixed_.push_back(p2);
        }
    }
    if (depth == 1) clear_carried();

    std::string_view name = ev.name;
    const auto prefix = xml::prefix_of(name);
    if (!prefix.empty()) {
        bool drop = false;
        if (auto r = need(prefix, true, host, ev.name, drop); !r) return r;
        if (drop) name = ev.local_name;
    }
    for (const auto p : prefixed_) {
        bool unused = false;  // attribute prefixes are never dropped
        if (auto r = need(p, false, host, ev.name, unused); !r) return r;
    }

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
        // Kept as character data; the writer copies the XML unescaped, so escape it here.
        if (const auto bad = xml::check_utf8(ev.text))
            return fail(VelmoError::xml("invalid UTF-8 (" + xml::utf8_error_message(*bad) + ") at byte " +
                                        std::to_string(ev.offset)));
        append_escaped(xml_, ev.text);
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
    if (const auto bad = xml::check_utf8(xml_))
        return fail(VelmoError::xml("invalid UTF-8 in " + what_ + " (" + xml::utf8_error_message(*bad) + ")"));
    std::string out = std::move(xml_);
    reset();
    return out;
}

void KeptXml::clear_carried() {
    carried_.clear();
    carried_names_.clear();
}

// Pops the declarations of the element at `depth`; at the outermost kept element, carries the
// outer declarations its subtree needs.
void KeptXml::close_scope(size_t depth) {
    while (!inner_.empty() && inner_.back().depth == depth) {
        const Decl& d = inner_.back();
        if (d.shadowed == kNone) {
            inner_index_.erase(d.prefix);
        } else {
            inner_index_.find(d.prefix)->second = d.shadowed;
        }
        inner_.pop_back();
    }
    if (depth != 1 || carried_.empty()) return;
    std::string decls;
    for (const auto& [prefix, uri] : carried_) {
        decls += " xmlns:";
        decls += prefix;
        decls += "=\"";
        append_escaped(decls, uri);
        decls += '"';
    }
    xml_.insert(insert_at_, decls);
    clear_carried();
}

// Look-ups go through indexes: a file can declare tens of thousands of prefixes and then use one
// on every kept element, which scanning the declarations would make quadratic.
const std::string* KeptXml::inner_uri(std::string_view prefix) const {
    const auto it = inner_index_.find(prefix);
    return it == inner_index_.end() ? nullptr : &inner_[it->second].uri;
}

// The first declaration of `prefix` among the host's attributes, which stay fixed while its
// children are read.
const std::string* KeptXml::host_decl(const HostAttributes& host, std::string_view prefix) {
    if (!host_decls_) {
        host_decls_.emplace();
        for (size_t i = 0; i < host.size(); ++i)
            if (const auto p = declared_prefix(host[i].first)) host_decls_->try_emplace(std::string(*p), i);
    }
    const auto it = host_decls_->find(prefix);
    return it == host_decls_->end() ? nullptr : &host[it->second].second;
}

// Whether unprefixed element names in the output are in the main namespace here.
bool KeptXml::default_is_main(const HostAttributes& host) {
    if (const auto* uri = inner_uri("")) return is_spreadsheet_main_ns(*uri);
    if (const auto* uri = host_decl(host, "")) return is_spreadsheet_main_ns(*uri);
    return true;  // the writer's root declares the main namespace as default
}

// Makes sure `prefix` will be bound where the kept XML lands. For an element name bound to the
// main namespace, asks (through `drop`) to write the name unprefixed instead.
Result<void> KeptXml::need(std::string_view prefix, bool element, const HostAttributes& host, std::string_view where,
                           bool& drop) {
    drop = false;
    if (prefix == "xml") return {};
    if (inner_uri(prefix) || host_decl(host, prefix)) return {};
    const auto uri = outer_.uri_of(prefix);
    if (!uri) return fail(unbound_prefix(prefix, where, what_));
    if (element && is_spreadsheet_main_ns(*uri) && default_is_main(host)) {
        drop = true;
        return {};
    }
    if (!carried_names_.emplace(prefix).second) return {};
    carried_.emplace_back(std::string(prefix), std::string(*uri));
    return {};
}

}  // namespace velmo::reader
