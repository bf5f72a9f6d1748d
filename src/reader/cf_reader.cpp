#include "reader/cf_reader.hpp"

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/utf8.hpp"
#include "reader/alternate_content.hpp"
#include "reader/kept_xml.hpp"
#include "reader/shared_strings.hpp"
#include "xml/attribute_value.hpp"
#include "xml/number_parse.hpp"
#include "xml/utf8.hpp"
#include "xml/white_space.hpp"

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

constexpr std::string_view kRuleContext = "a conditional formatting rule";

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
        auto value = xml::decode_attribute(a.value, scratch, a.offset);
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
    std::unordered_set<std::string> declared;
    for (size_t i = 0; i < n; ++i)
        if (const auto p = declared_prefix(rule.extra_attributes[i].first)) declared.emplace(*p);
    for (size_t i = 0; i < n; ++i) {
        const std::string prefix(xml::prefix_of(rule.extra_attributes[i].first));
        if (prefix.empty() || prefix == "xml" || prefix == "xmlns") continue;
        if (!declared.insert(prefix).second) continue;
        const auto uri = scope.uri_of(prefix);
        if (!uri) return fail(unbound_prefix(prefix, "cfRule", kRuleContext));
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

    // Of alternatives between rules or inside one, one branch is read; inside a child kept whole,
    // they stay as written, so branches not taken are walked too.
    PartWalk walk(tok, {.walk_dropped = true}, &scope);
    std::optional<ConditionalRule> rule;
    KeptXml kept(walk.ns(), std::string(kRuleContext));
    bool formula_open = false;
    std::string formula;
    xml::Event ev;

    auto open_rule = [&](const xml::Event& tag) -> Result<void> {
        auto r = parse_cf_rule_attrs(tag, dxfs);
        if (!r) return fail(std::move(r.error()));
        if (auto c = carry_attribute_prefixes(*r, walk.ns()); !c) return c;
        rule = std::move(*r);
        kept.reset();
        return {};
    };

    while (walk.next(ev)) {
        if (kept.depth() == 0 && walk.role() != PartWalk::Role::Content) continue;
        switch (ev.kind) {
        case xml::EventKind::Start:
            if (kept.depth() > 0) {
                if (auto r = kept.open(ev, false, rule->extra_attributes); !r) return fail(std::move(r.error()));
            } else if (rule && ev.local_name == "formula") {
                formula.clear();
                formula_open = true;
            } else if (ev.local_name == "cfRule") {
                if (auto r = open_rule(ev); !r) return fail(std::move(r.error()));
            } else if (rule) {
                if (auto r = kept.open(ev, false, rule->extra_attributes); !r) return fail(std::move(r.error()));
            }
            break;
        case xml::EventKind::Empty:
            if (kept.depth() == 0 && !rule) {
                if (ev.local_name == "cfRule") {
                    if (auto r = open_rule(ev); !r) return fail(std::move(r.error()));
                    block.rules.push_back(std::move(*rule));
                    rule.reset();
                }
            } else if (auto r = kept.open(ev, true, rule->extra_attributes); !r) {
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
