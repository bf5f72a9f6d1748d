#include "reader/cf_reader.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/utf8.hpp"
#include "reader/shared_strings.hpp"
#include "reader/xml/numbers.hpp"
#include "reader/xml/utf8.hpp"
#include "reader/xml/white_space.hpp"

namespace velmo::reader {

namespace {

// Attribute names are written back as they were; bytes that are not UTF-8 become U+FFFD.
std::string lossy_utf8(std::string_view s) {
    if (!xml::check_utf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 4);
    for (size_t i = 0; i < s.size();) {
        const auto d = utf8::decode(s, i);
        utf8::append(out, d.cp == utf8::kInvalid ? char32_t{0xFFFD} : d.cp);
        i += d.len;
    }
    return out;
}

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

// Hashes std::string keys so that they can be looked up by std::string_view.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The prefix an "xmlns" or "xmlns:p" attribute declares ("" for the default namespace), or
// none when the attribute is not a declaration.
std::optional<std::string_view> declared_prefix(std::string_view attr_name) {
    if (attr_name == "xmlns") return std::string_view{};
    if (attr_name.starts_with("xmlns:")) return attr_name.substr(6);
    return std::nullopt;
}

VelmoError unbound_prefix(std::string_view prefix, std::string_view where) {
    return VelmoError::xml("unbound namespace prefix \"" + std::string(prefix) + "\" in <" + std::string(where) +
                           "> of a conditional formatting rule");
}

// One rule's kept child elements, serialised as they are read.
class KeptXml {
public:
    explicit KeptXml(const NamespaceScope& outer) : outer_(outer) {}

    void reset() {
        xml_.clear();
        inner_.clear();
        inner_index_.clear();
        names_.clear();
        clear_carried();
        rule_decls_.reset();
    }
    size_t depth() const { return names_.size(); }

    // A start tag (`empty` false) or a self-closing tag of a kept element.
    Result<void> open(const xml::Event& ev, bool empty, const ConditionalRule& rule) {
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
            if (auto r = need(prefix, true, rule, ev.name, drop); !r) return r;
            if (drop) name = ev.local_name;
        }
        for (const auto p : prefixed_) {
            bool unused = false;  // attribute prefixes are never dropped
            if (auto r = need(p, false, rule, ev.name, unused); !r) return r;
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

    void close() {
        xml_ += "</";
        xml_ += names_.back();
        xml_ += '>';
        close_scope(names_.size());
        names_.pop_back();
    }

    Result<void> text(const xml::Event& ev) {
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

    // The rule's kept XML; it starts again empty.
    Result<std::string> take() {
        if (const auto bad = xml::check_utf8(xml_))
            return fail(VelmoError::xml("invalid UTF-8 in a conditional formatting rule (" +
                                        xml::utf8_error_message(*bad) + ")"));
        std::string out = std::move(xml_);
        reset();
        return out;
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Decl {
        std::string prefix;  // "" for the default namespace
        std::string uri;
        size_t depth;
        size_t shadowed;  // the declaration of the same prefix this one hides, or kNone
    };

    void clear_carried() {
        carried_.clear();
        carried_names_.clear();
    }

    // Pops the declarations of the element at `depth`; at the outermost kept element, carries
    // the outer declarations its subtree needs.
    void close_scope(size_t depth) {
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

    // Look-ups go through indexes: a file can declare tens of thousands of prefixes and then
    // use one on every kept element, which scanning the declarations would make quadratic.
    const std::string* inner_uri(std::string_view prefix) const {
        const auto it = inner_index_.find(prefix);
        return it == inner_index_.end() ? nullptr : &inner_[it->second].uri;
    }

    // The first declaration of `prefix` among the rule's own attributes, which stay fixed while
    // its children are read.
    const std::string* rule_decl(const ConditionalRule& rule, std::string_view prefix) {
        if (!rule_decls_) {
            rule_decls_.emplace();
            for (size_t i = 0; i < rule.extra_attributes.size(); ++i)
                if (const auto p = declared_prefix(rule.extra_attributes[i].first)) rule_decls_->try_emplace(std::string(*p), i);
        }
        const auto it = rule_decls_->find(prefix);
        return it == rule_decls_->end() ? nullptr : &rule.extra_attributes[it->second].second;
    }

    // Whether unprefixed element names in the output are in the main namespace here.
    bool default_is_main(const ConditionalRule& rule) {
        if (const auto* uri = inner_uri("")) return is_spreadsheet_main_ns(*uri);
        if (const auto* uri = rule_decl(rule, "")) return is_spreadsheet_main_ns(*uri);
        return true;  // the writer's root declares the main namespace as default
    }

    // Makes sure `prefix` will be bound where the kept XML lands. For an element name bound to
    // the main namespace, asks (through `drop`) to write the name unprefixed instead.
    Result<void> need(std::string_view prefix, bool element, const ConditionalRule& rule, std::string_view where,
                      bool& drop) {
        drop = false;
        if (prefix == "xml") return {};
        if (inner_uri(prefix) || rule_decl(rule, prefix)) return {};
        const auto uri = outer_.uri_of(prefix);
        if (!uri) return fail(unbound_prefix(prefix, where));
        if (element && is_spreadsheet_main_ns(*uri) && default_is_main(rule)) {
            drop = true;
            return {};
        }
        if (!carried_names_.emplace(prefix).second) return {};
        carried_.emplace_back(std::string(prefix), std::string(*uri));
        return {};
    }

    const NamespaceScope& outer_;
    std::string xml_;
    std::string scratch_;
    std::vector<Decl> inner_;
    TextMap<size_t> inner_index_;  // prefix -> its innermost declaration in inner_
    std::optional<TextMap<size_t>> rule_decls_;  // prefix -> attribute index, built on first use
    std::vector<std::string> names_;  // output names of the open kept elements
    std::vector<std::pair<std::string, std::string>> carried_;
    TextSet carried_names_;
    std::vector<std::string_view> prefixed_;
    size_t insert_at_ = 0;  // just after the outermost kept element's name
};

}  // namespace

Result<void> append_element_text(const xml::Event& ev, std::string& out) {
    if (ev.kind == xml::EventKind::CData) return xml::append_text(ev, out);
    const std::string_view piece = xml::trim_space(ev.raw);
    if (piece.empty()) return {};
    const size_t offset = ev.offset + static_cast<size_t>(piece.data() - ev.raw.data());
    if (auto ok = xml::check_utf8_at(piece, offset); !ok) return ok;
    return xml::append_unescaped(piece, out, offset);
}

Result<ConditionalRule> parse_cf_rule_attrs(const xml::Event& tag, std::span<const Dxf> dxfs) {
    ConditionalRule rule;
    std::string scratch;
    xml::AttrIter it(tag);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        auto value = xml::decode(a.value, scratch, a.offset);
        if (!value) return fail(std::move(value.error()));
        const std::string_view v = *value;
        if (a.name == "type") {
            rule.rule_type = v;
        } else if (a.name == "operator") {
            rule.op = std::string(v);
        } else if (a.name == "priority") {
            rule.priority = xml::parse_u32(v);
        } else if (a.name == "stopIfTrue") {
            rule.stop_if_true = xml::parse_xml_bool(v);
        } else if (a.name == "dxfId") {
            rule.dxf_id = xml::parse_u32(v);
        } else {
            rule.extra_attributes.emplace_back(lossy_utf8(a.name), std::string(v));
        }
    }
    if (rule.dxf_id && *rule.dxf_id < dxfs.size()) rule.dxf = dxfs[*rule.dxf_id];
    return rule;
}

namespace {

// Gives the rule a declaration for every prefix its kept attributes use, since the writer
// puts them on a cfRule of its own.
Result<void> carry_attribute_prefixes(ConditionalRule& rule, const NamespaceScope& scope) {
    const size_t n = rule.extra_attributes.size();
    TextSet declared;
    for (size_t i = 0; i < n; ++i)
        if (const auto p = declared_prefix(rule.extra_attributes[i].first)) declared.emplace(*p);
    for (size_t i = 0; i < n; ++i) {
        const std::string prefix(xml::prefix_of(rule.extra_attributes[i].first));
        if (prefix.empty() || prefix == "xml" || prefix == "xmlns") continue;
        if (!declared.insert(prefix).second) continue;
        const auto uri = scope.uri_of(prefix);
        if (!uri) return fail(unbound_prefix(prefix, "cfRule"));
        rule.extra_attributes.emplace_back("xmlns:" + prefix, std::string(*uri));
    }
    return {};
}

}  // namespace

Result<ConditionalFormatting> parse_conditional_formatting(xml::Tokenizer& tok, const xml::Event& start,
                                                           std::span<const Dxf> dxfs, const NamespaceScope& scope) {
    ConditionalFormatting block;
    {
        std::string scratch;
        auto sqref = xml::attr_value(start, "sqref", scratch);
        if (!sqref) return fail(std::move(sqref.error()));
        if (*sqref) block.sqref = **sqref;
    }
    // The block ends with the end tag that closes its start tag.
    const size_t block_level = tok.depth();

    std::optional<ConditionalRule> rule;
    KeptXml kept(scope);
    bool formula_open = false;
    std::string formula;
    xml::Event ev;

    auto open_rule = [&](const xml::Event& tag) -> Result<void> {
        auto r = parse_cf_rule_attrs(tag, dxfs);
        if (!r) return fail(std::move(r.error()));
        if (auto c = carry_attribute_prefixes(*r, scope); !c) return c;
        rule = std::move(*r);
        kept.reset();
        return {};
    };

    while (tok.next(ev)) {
        switch (ev.kind) {
        case xml::EventKind::Start:
            if (kept.depth() > 0) {
                if (auto r = kept.open(ev, false, *rule); !r) return fail(std::move(r.error()));
            } else if (rule && ev.local_name == "formula") {
                formula.clear();
                formula_open = true;
            } else if (ev.local_name == "cfRule") {
                if (auto r = open_rule(ev); !r) return fail(std::move(r.error()));
            } else if (rule) {
                if (auto r = kept.open(ev, false, *rule); !r) return fail(std::move(r.error()));
            }
            break;
        case xml::EventKind::Empty:
            if (kept.depth() == 0 && !rule) {
                if (ev.local_name == "cfRule") {
                    if (auto r = open_rule(ev); !r) return fail(std::move(r.error()));
                    block.rules.push_back(std::move(*rule));
                    rule.reset();
                }
            } else if (auto r = kept.open(ev, true, *rule); !r) {
                return fail(std::move(r.error()));
            }
            break;
        case xml::EventKind::End:
            if (tok.depth() < block_level) return block;
            if (kept.depth() > 0) {
                kept.close();
            } else if (rule && ev.local_name == "cfRule") {
                auto xml = kept.take();
                if (!xml) return fail(std::move(xml.error()));
                rule->extra_children_xml = std::move(*xml);
                block.rules.push_back(std::move(*rule));
                rule.reset();
            } else if (formula_open && ev.local_name == "formula") {
                formula_open = false;
                if (rule) rule->formulas.push_back(std::move(formula));
                formula.clear();
            }
            break;
        case xml::EventKind::Text:
        case xml::EventKind::CData:
            if (kept.depth() > 0) {
                if (auto r = kept.text(ev); !r) return fail(std::move(r.error()));
            } else if (formula_open) {
                if (auto r = append_element_text(ev, formula); !r) return fail(std::move(r.error()));
            }
            break;
        case xml::EventKind::Eof:
            break;
        }
    }
    if (!tok.ok()) return fail(tok.error());
    // Input ended inside the block: the rules finished so far stand.
    return block;
}

}  // namespace velmo::reader
