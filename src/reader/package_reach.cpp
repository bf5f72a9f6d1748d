#include "reader/package_reach.hpp"

#include "reader/sheet_rels.hpp"

namespace velmo::reader {

std::optional<std::string> rels_owner(std::string_view rels_name) {
    constexpr std::string_view kSuffix = ".rels";
    if (rels_name.size() < kSuffix.size() || !zip::same_part_name(rels_name.substr(rels_name.size() - kSuffix.size()), kSuffix))
        return std::nullopt;
    const std::string_view stem = rels_name.substr(0, rels_name.size() - kSuffix.size());
    const size_t slash = stem.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view folder = stem.substr(0, slash);
    const size_t up = folder.rfind('/');
    if (!zip::same_part_name(up == std::string_view::npos ? folder : folder.substr(up + 1), "_rels")) return std::nullopt;
    std::string owner(up == std::string_view::npos ? std::string_view() : folder.substr(0, up));
    if (!owner.empty()) owner += '/';
    owner.append(stem.substr(slash + 1));
    return owner;
}

zip::PartNameSet reachable_parts(const RelsOf& rels_of) {
    zip::PartNameSet reached;
    std::vector<std::string> pending{""};  // the package itself
    while (!pending.empty()) {
        const std::string owner = std::move(pending.back());
        pending.pop_back();
        const std::vector<SheetRelEntry>* rels = rels_of(sheet_rels_path(owner.empty() ? "/" : owner));
        if (!rels) continue;
        for (const SheetRelEntry& e : *rels) {
            if (e.target_mode && *e.target_mode == "External") continue;
            std::string target = resolve_sheet_target(owner, e.target);
            if (!target.empty() && reached.add(target)) pending.push_back(std::move(target));
        }
    }
    return reached;
}

const std::vector<SheetRelEntry>* PackageRels::get(std::string_view name) {
    auto [it, fresh] = parsed_.try_emplace(zip::PartNameSet::normalize(name));
    if (fresh) {
        auto entry = archive_.find_part(name);
        if (entry && *entry) {
            auto xml = archive_.read(**entry);
            if (xml) {
                auto rels = parse_sheet_rels(*xml);
                if (rels) it->second = std::move(*rels);
            }
        }
    }
    return it->second ? &*it->second : nullptr;
}

bool entry_reached(const zip::PartNameSet& reached, std::string_view name) {
    const auto owner = rels_owner(name);
    if (!owner) return reached.contains(name);
    return owner->empty() || reached.contains(*owner);
}

}  // namespace velmo::reader
