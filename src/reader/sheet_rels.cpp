#include "reader/sheet_rels.hpp"

#include "xml/tokenizer.hpp"

namespace velmo::reader {

Result<std::vector<SheetRelEntry>> parse_sheet_rels(std::string_view doc) {
    std::vector<SheetRelEntry> out;
    // A part cut short keeps the relationships read before the cut.
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.allow_unclosed_at_eof = true});
    xml::Event ev;
    while (tok.next(ev)) {
        if (!ev.is_tag() || ev.local_name != "Relationship") continue;
        auto id = xml::attr_string(ev, "Id");
        if (!id) return fail(id.error());
        auto type = xml::attr_string(ev, "Type");
        if (!type) return fail(type.error());
        auto target = xml::attr_string(ev, "Target");
        if (!target) return fail(target.error());
        if (!*id || !*type || !*target) continue;
        auto mode = xml::attr_string(ev, "TargetMode");
        if (!mode) return fail(mode.error());
        out.push_back({std::move(**id), std::move(**type), std::move(**target), std::move(*mode)});
    }
    if (!tok.ok()) return fail(tok.error());
    return out;
}

std::string sheet_rels_path(std::string_view sheet_path) {
    const auto slash = sheet_path.rfind('/');
    std::string out;
    if (slash != std::string_view::npos && slash > 0) {
        out.append(sheet_path.substr(0, slash));
        out.append("/_rels/");
        out.append(sheet_path.substr(slash + 1));
    } else {
        out.append("_rels/");
        out.append(slash == 0 ? sheet_path.substr(1) : sheet_path);
    }
    out.append(".rels");
    return out;
}

std::string resolve_sheet_target(std::string_view sheet_path, std::string_view target) {
    if (target.starts_with('/')) return std::string(target.substr(1));
    if (target.starts_with("xl/")) return std::string(target);

    std::vector<std::string_view> segs;
    auto split = [](std::string_view s, auto&& each) {
        while (true) {
            const auto slash = s.find('/');
            each(s.substr(0, slash));
            if (slash == std::string_view::npos) break;
            s.remove_prefix(slash + 1);
        }
    };
    const auto slash = sheet_path.rfind('/');
    if (slash != std::string_view::npos) {
        split(sheet_path.substr(0, slash), [&](std::string_view seg) {
            if (!seg.empty()) segs.push_back(seg);
        });
    }
    split(target, [&](std::string_view seg) {
        if (seg.empty() || seg == ".") return;
        if (seg == "..") {
            if (!segs.empty()) segs.pop_back();
            return;
        }
        segs.push_back(seg);
    });

    std::string out;
    for (std::size_t i = 0; i < segs.size(); ++i) {
        if (i) out.push_back('/');
        out.append(segs[i]);
    }
    return out;
}

void rebase_targets(std::vector<SheetRelEntry>& rels, std::string_view from, std::string_view to) {
    const auto folder = [](std::string_view name) { return name.substr(0, name.rfind('/') + 1); };
    if (folder(from) == folder(to)) return;
    for (SheetRelEntry& e : rels)
        if (e.target_mode != "External") e.target = "/" + resolve_sheet_target(from, e.target);
}

std::optional<std::string_view> relation_target_for_id(const std::vector<SheetRelEntry>& rels, std::string_view id) {
    for (const auto& r : rels)
        if (r.id == id) return std::string_view(r.target);
    return std::nullopt;
}

std::optional<std::string_view> relation_target_for_type(const std::vector<SheetRelEntry>& rels, std::string_view type) {
    for (const auto& r : rels)
        if (r.rel_type == type) return std::string_view(r.target);
    return std::nullopt;
}

std::vector<std::string_view> relation_targets_for_type(const std::vector<SheetRelEntry>& rels, std::string_view type) {
    std::vector<std::string_view> out;
    for (const auto& r : rels)
        if (r.rel_type == type) out.emplace_back(r.target);
    return out;
}

}  // namespace velmo::reader
