#include "reader/raw_element.hpp"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "xml/utf8.hpp"

namespace velmo::reader {

namespace {

constexpr std::string_view kMarkupCompatibilityNs = "http://schemas.openxmlformats.org/markup-compatibility/2006";

void escape_attr(std::string_view value, std::string& out) {
    for (const char c : value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
}

// Writes an element back from its events. The text is later appended inside a part the writer
// regenerates, whose root binds only the main namespace (as default) and "r" (relationships).
class RawCapture {
public:
    RawCapture(xml::Tokenizer& tok, ElementScopes& scopes) : tok_(tok), scopes_(scopes) {}

    Result<std::string> run(const xml::Event& root) {
        const std::string_view src = tok_.source();
        open_tag(root);
        write_tag(root);
        root_name_end_ = 1 + element_name(root.name).size();
        std::size_t done = root.offset + root.raw.size();
        if (root.kind == xml::EventKind::Start) {
            std::size_t depth = 1;
            xml::Event ev;
            while (depth > 0) {
                if (!tok_.next(ev)) {
                    if (!tok_.ok()) return fail(tok_.error());
                    return fail(
                        VelmoError::invalid_format("unterminated <" + std::string(root.local_name) + "> element"));
                }
                // Comments and processing instructions are skipped by the tokenizer: they are
                // what lies between two events.
                out_.append(src.substr(done, ev.offset - done));
                done = ev.offset + ev.raw.size();
                switch (ev.kind) {
                case xml::EventKind::Start:
                case xml::EventKind::Empty:
                    scopes_.enter(ev);
                    open_tag(ev);
                    write_tag(ev);
                    if (ev.kind == xml::EventKind::Start) {
                        ++depth;
                    } else {
                        close_tag();
                    }
                    break;
                case xml::EventKind::End:
                    out_ += "</";
                    out_.append(element_name(ev.name));
                    out_ += '>';
                    close_tag();
                    --depth;
                    break;
                default:
                    if (ev.kind == xml::EventKind::Text) {
                        if (auto ok = xml::unescape(ev.raw, scratch_, ev.offset); !ok) note(std::move(ok.error()));
                    }
                    out_.append(ev.raw);
                    break;
                }
                scopes_.sync(tok_.depth());
            }
        }
        // The tokenizer finds the tags but leaves attributes and texts unchecked: a copy of what
        // does not decode would make the part it lands in unreadable.
        if (error_) return fail(std::move(*error_));
        if (!carried_.empty()) {
            std::string decls;
            for (const auto& [prefix, uri] : carried_) {
                decls += " xmlns:";
                decls += prefix;
                decls += "=\"";
                escape_attr(uri, decls);
                decls += '"';
            }
            out_.insert(root_name_end_, decls);
        }
        if (const auto bad = xml::check_utf8(out_))
            return fail(VelmoError::invalid_format(xml::utf8_error_message(*bad)));
        return std::move(out_);
    }

private:
    // Records the declarations a tag of the element makes, then the prefixes it uses.
    void open_tag(const xml::Event& ev) {
        marks_.push_back(declared_.size());
        xml::AttrIter it(ev);
        xml::Attribute a;
        std::string scratch;
        std::vector<std::string_view> used;
        for (;;) {
            auto more = it.next(a);
            if (!more) {
                note(std::move(more.error()));
                break;
            }
            if (!*more) break;
            // The value is copied as written: it must decode for the copy to be well-formed.
            auto value = xml::decode(a.value, scratch, a.offset);
            if (!value) note(std::move(value.error()));
            if (a.name == "xmlns" || a.name.starts_with("xmlns:")) {
                std::string prefix(a.name == "xmlns" ? std::string_view{} : a.name.substr(6));
                inner_[prefix].emplace_back(value ? *value : a.value);
                declared_.push_back(std::move(prefix));
            } else if (const auto p = xml::prefix_of(a.name); !p.empty()) {
                used.push_back(p);
            }
        }
        for (const auto p : used) need(p);
        drops_.push_back(decide_drop(ev.name));
        need_required(ev);
    }

    // A markup-compatibility choice names in a value the prefixes it requires ("x14"): unbound
    // where the element lands, they would make an application skip the choice.
    void need_required(const xml::Event& ev) {
        if (ev.local_name != "Choice" || resolve(xml::prefix_of(ev.name)).second != kMarkupCompatibilityNs) return;
        std::string scratch;
        auto required = xml::attr_value(ev, "Requires", scratch);
        if (!required || !*required) return;
        std::string_view rest = **required;
        while (!rest.empty()) {
            const std::size_t start = rest.find_first_not_of(" \t\r\n");
            if (start == std::string_view::npos) break;
            rest.remove_prefix(start);
            const std::string_view prefix = rest.substr(0, rest.find_first_of(" \t\r\n"));
            rest.remove_prefix(prefix.size());
            need(prefix);
        }
    }

    void note(VelmoError e) {
        if (!error_) error_ = std::move(e);
    }

    void close_tag() {
        if (marks_.empty()) return;
        while (declared_.size() > marks_.back()) {
            const auto it = inner_.find(declared_.back());
            it->second.pop_back();
            if (it->second.empty()) inner_.erase(it);
            declared_.pop_back();
        }
        marks_.pop_back();
        drops_.pop_back();
    }

    void write_tag(const xml::Event& ev) {
        out_ += '<';
        out_.append(element_name(ev.name));
        out_.append(ev.raw.substr(1 + ev.name.size()));
    }

    // The element name as written out: for the innermost open tag's name, its drop decision.
    std::string_view element_name(std::string_view qname) const {
        if (!drops_.empty() && drops_.back()) return xml::local_name_of(qname);
        return qname;
    }

    // The binding of `prefix` at this point: whether it is declared inside the element, and its URI.
    std::pair<bool, std::optional<std::string_view>> resolve(std::string_view prefix) const {
        if (const auto it = inner_.find(prefix); it != inner_.end()) return {true, std::string_view(it->second.back())};
        if (prefix.empty()) return {false, std::nullopt};
        return {false, scopes_.ns.uri_of(prefix)};
    }

    bool decide_drop(std::string_view qname) {
        const auto p = xml::prefix_of(qname);
        if (p.empty() || p == "xml") return false;
        const auto [inside, uri] = resolve(p);
        if (inside || !uri) return false;
        // An unprefixed name lands in the default namespace in force: the writer's main one,
        // unless the element itself declares another.
        const auto [def_inside, def_uri] = resolve({});
        const bool default_is_main = !def_inside || is_spreadsheet_main_ns(*def_uri);
        if (is_spreadsheet_main_ns(*uri) && default_is_main) return true;
        need(p);
        return false;
    }

    // Makes sure a prefix used in the element stays bound once the element is moved.
    void need(std::string_view prefix) {
        if (prefix == "xml" || prefix == "xmlns") return;
        const auto [inside, uri] = resolve(prefix);
        if (inside || !uri) return;
        if (prefix == "r" && *uri == kRelationshipsNs) return;  // the writer's root binds it
        if (!carried_names_.emplace(prefix).second) return;
        carried_.emplace_back(std::string(prefix), std::string(*uri));
    }

    xml::Tokenizer& tok_;
    ElementScopes& scopes_;
    std::string out_;
    std::size_t root_name_end_ = 0;
    // Look-ups go through maps: an element can declare, or use, tens of thousands of prefixes.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    // The bindings made inside the element, innermost last, by prefix ("" for the default namespace).
    std::unordered_map<std::string, std::vector<std::string>, TextHash, std::equal_to<>> inner_;
    std::vector<std::string> declared_;  // the prefixes declared by the open tags, in order
    std::vector<std::size_t> marks_;     // declared_.size() at each open tag
    std::vector<bool> drops_;
    std::vector<std::pair<std::string, std::string>> carried_;
    std::unordered_set<std::string, TextHash, std::equal_to<>> carried_names_;
    std::string scratch_;
    std::optional<VelmoError> error_;
};

}  // namespace

Result<std::string> capture_raw_element(xml::Tokenizer& tok, ElementScopes& scopes, const xml::Event& root) {
    return RawCapture(tok, scopes).run(root);
}

}  // namespace velmo::reader
