#include "reader/kept_namespaces.hpp"

#include "xml/attribute_value.hpp"

namespace velmo::reader {

std::optional<std::string_view> declared_prefix(std::string_view attr_name) {
    if (attr_name == "xmlns") return std::string_view{};
    if (attr_name.starts_with("xmlns:")) return attr_name.substr(6);
    return std::nullopt;
}

void append_escaped(std::string& out, std::string_view s, bool gt) {
    for (const char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        // As references, since a parser reads these as spaces in a value (and a CR as a LF in text).
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        case '>':
            if (gt) {
                out += "&gt;";
                break;
            }
            [[fallthrough]];
        default: out.push_back(c);
        }
    }
}

void KeptNamespaces::reset() {
    inner_ = NamespaceScope{};
    host_decls_.reset();
    carried_.clear();
    carried_names_.clear();
}

Result<void> KeptNamespaces::open(const xml::Event& ev) {
    inner_.open();
    used_.clear();
    xml::AttrIter it(ev);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) return {};
        auto value = xml::decode_attribute(a.value, scratch_, a.offset);
        if (!value) return fail(std::move(value.error()));
        if (const auto p = declared_prefix(a.name)) {
            inner_.bind(*p, *value);
        } else if (const auto used = xml::prefix_of(a.name); !used.empty()) {
            used_.push_back(used);
        }
    }
}

std::optional<std::string_view> KeptNamespaces::uri_of(std::string_view prefix) const {
    if (auto uri = inner_.uri_of(prefix)) return uri;
    if (prefix.empty()) return std::nullopt;  // the source's default namespace is not tracked
    return source_.uri_of(prefix);
}

KeptNamespaces::Need KeptNamespaces::need(std::string_view prefix, bool element, const HostAttributes* host) {
    if (prefix == "xml" || inner_.uri_of(prefix) || host_decl(host, prefix)) return Need::Met;
    const auto uri = source_.uri_of(prefix);
    if (!uri) return Need::Unbound;
    if (landing_.root_binds_r && prefix == "r" && *uri == kRelationshipsNs) return Need::Met;
    if (element && is_spreadsheet_main_ns(*uri) && default_is_main(host)) return Need::Drop;
    if ((landing_.carries_xmlns || prefix != "xmlns") && carried_names_.emplace(prefix).second)
        carried_.emplace_back(prefix, *uri);
    return Need::Met;
}

void KeptNamespaces::need_required(const xml::Event& ev, const HostAttributes* host) {
    if (ev.local_name != "Choice" || uri_of(xml::prefix_of(ev.name)) != kMarkupCompatibilityNs) return;
    auto required = xml::attr_value(ev, "Requires", scratch_);
    if (!required || !*required) return;
    for (const std::string_view prefix : listed_prefixes(**required)) (void)need(prefix, false, host);
}

void KeptNamespaces::write_carried(std::string& xml, std::size_t at) {
    if (carried_.empty()) return;
    std::string decls;
    for (const auto& [prefix, uri] : carried_) {
        decls += " xmlns:";
        decls += prefix;
        decls += "=\"";
        append_escaped(decls, uri, landing_.escape_gt);
        decls += '"';
    }
    xml.insert(at, decls);
    carried_.clear();
    carried_names_.clear();
}

// Look-ups go through indexes: a file can declare tens of thousands of prefixes and then use one
// on every kept element, which scanning the declarations would make quadratic. The host's
// attributes stay fixed until reset().
const std::string* KeptNamespaces::host_decl(const HostAttributes* host, std::string_view prefix) {
    if (!host) return nullptr;
    if (!host_decls_) {
        host_decls_.emplace();
        for (std::size_t i = 0; i < host->size(); ++i)
            if (const auto p = declared_prefix((*host)[i].first)) host_decls_->try_emplace(std::string(*p), i);
    }
    const auto it = host_decls_->find(prefix);
    return it == host_decls_->end() ? nullptr : &(*host)[it->second].second;
}

// Whether an unprefixed element name lands in the main namespace: the writer's root makes it the
// default unless the kept XML or its host declares another.
bool KeptNamespaces::default_is_main(const HostAttributes* host) {
    if (const auto uri = inner_.uri_of("")) return is_spreadsheet_main_ns(*uri);
    if (const auto* uri = host_decl(host, "")) return is_spreadsheet_main_ns(*uri);
    return true;
}

}  // namespace velmo::reader
