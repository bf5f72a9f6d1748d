#include "writer/sheet_rels_writer.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "model/quoted.hpp"
#include "writer/comments_part.hpp"
#include "writer/content_types.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

std::string rel_id_text(uint64_t n) {
    return xml::numbered("rId", n);
}

bool is_comment_kind(const SheetRelEntry& e) { return e.rel_type == kCommentsRelType || e.rel_type == kVmlDrawingRelType; }

bool kept_drawing(const SheetRelEntry& e, const RelIdSet& keep) {
    return e.rel_type == kVmlDrawingRelType && keep.contains(e.id);
}

// The relationship ids that the sheet's carried elements other than its legacy drawing name.
RelIdSet ids_named_beside_legacy_drawing(const Worksheet& ws) {
    RelIdSet ids;
    for (const CarriedElement& e : ws.carried)
        if (e.kind != SheetChild::LegacyDrawing) ids.insert(e.rel_ids.begin(), e.rel_ids.end());
    return ids;
}

// An entry as one text, for sets of whole entries.
std::string entry_key(const SheetRelEntry& e) {
    std::string key = e.id;
    for (const std::string* part : {&e.rel_type, &e.target}) (key += '\0') += *part;
    if (e.target_mode) (key += '\1') += *e.target_mode;
    return key;
}

std::vector<SheetRelEntry> without(const std::vector<SheetRelEntry>& entries, auto&& drop) {
    std::vector<SheetRelEntry> kept;
    kept.reserve(entries.size());
    for (const SheetRelEntry& e : entries)
        if (!drop(e)) kept.push_back(e);
    return kept;
}

// Hands out ids "rId{n}" from a starting number upward, skipping any text already taken. Only a
// number beyond 32 bits can meet a taken text ("rId4294967296" is not a numbered id, so the
// starting number does not account for it).
class IdAllocator {
public:
    IdAllocator(uint64_t start, const std::vector<SheetRelEntry>& a, const std::vector<SheetRelEntry>* b = nullptr)
        : next_(start) {
        for (const SheetRelEntry& e : a) taken_.insert(e.id);
        if (b)
            for (const SheetRelEntry& e : *b) taken_.insert(e.id);
    }

    std::string take() {
        std::string id = rel_id_text(next_++);
        while (taken_.contains(id)) id = rel_id_text(next_++);
        taken_.insert(id);
        return id;
    }

private:
    uint64_t next_;
    std::unordered_set<std::string> taken_;
};

std::vector<SheetRelEntry> upsert_kind(const std::vector<SheetRelEntry>& entries, std::string_view type,
                                       const std::vector<std::string>& targets, std::optional<std::string> mode) {
    std::vector<SheetRelEntry> kept = without(entries, [&](const SheetRelEntry& e) { return e.rel_type == type; });
    if (targets.empty()) return kept;
    IdAllocator ids(next_rel_id(kept), kept);
    kept.reserve(kept.size() + targets.size());
    for (const std::string& target : targets) kept.push_back({ids.take(), std::string(type), target, mode});
    return kept;
}

}  // namespace

std::optional<uint32_t> rel_id_number(std::string_view id) {
    if (!id.starts_with("rId")) return std::nullopt;
    id.remove_prefix(3);
    if (id.starts_with('+')) id.remove_prefix(1);
    if (id.empty()) return std::nullopt;
    uint64_t n = 0;
    for (const char c : id) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(n);
}

uint64_t next_rel_id(const std::vector<SheetRelEntry>& entries) {
    uint64_t max = 0;
    for (const SheetRelEntry& e : entries)
        if (const auto n = rel_id_number(e.id)) max = std::max<uint64_t>(max, *n);
    return max + 1;
}

std::optional<std::string> relation_id_for_type(const std::vector<SheetRelEntry>& entries, std::string_view type) {
    for (const SheetRelEntry& e : entries)
        if (e.rel_type == type) return e.id;
    return std::nullopt;
}

std::string id_for_type_or_next(const std::vector<SheetRelEntry>& existing, std::string_view type,
                                const std::vector<SheetRelEntry>& pending) {
    // A source may give one id to several relationships; reusing such an id would leave two
    // relationships under it in the saved part.
    if (auto id = relation_id_for_type(existing, type)) {
        const bool taken = std::any_of(pending.begin(), pending.end(), [&](const SheetRelEntry& e) { return e.id == *id; });
        if (!taken) return std::move(*id);
    }
    return IdAllocator(std::max(next_rel_id(existing), next_rel_id(pending)), existing, &pending).take();
}

namespace {

std::vector<SheetRelEntry> upsert_notes_rels(const std::vector<SheetRelEntry>& entries,
                                             std::optional<std::string_view> comments_target, std::string_view vml_target,
                                             const RelIdSet& keep) {
    std::vector<SheetRelEntry> kept = remove_comment_rels(entries, keep);
    // A kept drawing lends no id: it keeps its own.
    const std::vector<SheetRelEntry> lenders =
        keep.empty() ? entries : without(entries, [&](const SheetRelEntry& e) { return kept_drawing(e, keep); });
    if (comments_target) {
        std::string comments_id = id_for_type_or_next(lenders, kCommentsRelType, kept);
        kept.push_back({std::move(comments_id), std::string(kCommentsRelType), std::string(*comments_target), std::nullopt});
    }
    std::string vml_id = id_for_type_or_next(lenders, kVmlDrawingRelType, kept);
    kept.push_back({std::move(vml_id), std::string(kVmlDrawingRelType), std::string(vml_target), std::nullopt});
    return kept;
}

}  // namespace

std::vector<SheetRelEntry> upsert_comment_rels(const std::vector<SheetRelEntry>& entries, std::string_view comments_target,
                                               std::string_view vml_target, const RelIdSet& keep) {
    return upsert_notes_rels(entries, comments_target, vml_target, keep);
}

std::vector<SheetRelEntry> upsert_drawing_rels(const std::vector<SheetRelEntry>& entries, std::string_view vml_target,
                                               const RelIdSet& keep) {
    return upsert_notes_rels(entries, std::nullopt, vml_target, keep);
}

std::vector<SheetRelEntry> remove_comment_rels(const std::vector<SheetRelEntry>& entries,
                                               const RelIdSet& keep) {
    return without(entries, [&](const SheetRelEntry& e) { return is_comment_kind(e) && !kept_drawing(e, keep); });
}

std::vector<SheetRelEntry> upsert_table_rels(const std::vector<SheetRelEntry>& entries,
                                             const std::vector<std::string>& targets) {
    return upsert_kind(entries, kTableRelType, targets, std::nullopt);
}

std::vector<SheetRelEntry> upsert_hyperlink_rels(const std::vector<SheetRelEntry>& entries,
                                                 const std::vector<std::string>& targets) {
    return upsert_kind(entries, kHyperlinkRelType, targets, std::string("External"));
}

Result<std::string> write_sheet_rels(const std::vector<SheetRelEntry>& entries, std::string_view sheet_name) {
    for (const SheetRelEntry& e : entries) {
        const auto where = [&] { return sheet_label(sheet_name) + " relationship " + quoted(e.id); };
        for (const std::string* t : {&e.id, &e.rel_type, &e.target})
            if (auto ok = check_xml_text(*t, where); !ok) return fail(std::move(ok.error()));
        if (e.target_mode)
            if (auto ok = check_xml_text(*e.target_mode, where); !ok) return fail(std::move(ok.error()));
    }
    return relationships_part_xml(entries);
}

std::string relationships_part_xml(const std::vector<SheetRelEntry>& entries) {
    auto w = xml::XmlWriter::with_declaration(256 + entries.size() * 160);
    w.start("Relationships", {{"xmlns", kPackageRelsNs}});
    for (const SheetRelEntry& e : entries) {
        w.open("Relationship").attr("Id", e.id).attr("Type", e.rel_type).attr("Target", e.target);
        if (e.target_mode) w.attr("TargetMode", *e.target_mode);
        w.close_empty();
    }
    w.end("Relationships");
    return std::move(w.buffer());
}

std::unordered_set<std::string> kept_vml_parts(const Workbook& wb) {
    std::unordered_set<std::string> kept;
    for (size_t i = 0; i < std::min(wb.sheets.size(), wb.sheet_relationships.size()); ++i) {
        const std::vector<SheetRelEntry>& rels = wb.sheet_relationships[i];
        const auto is_vml = [](const SheetRelEntry& e) { return e.rel_type == kVmlDrawingRelType && !e.target_mode; };
        if (std::none_of(rels.begin(), rels.end(), is_vml)) continue;
        const bool all = !relation_id_for_type(rels, kCommentsRelType) && !has_comments(wb.sheets[i]);
        const RelIdSet keep = ids_named_beside_legacy_drawing(wb.sheets[i]);
        for (const SheetRelEntry& e : rels)
            if (is_vml(e) && (all || kept_drawing(e, keep)))
                kept.insert(PartNameSet::normalize(reader::resolve_sheet_target("xl/worksheets/sheet.xml", e.target)));
    }
    return kept;
}

std::vector<uint64_t> comment_vml_numbers(const Workbook& wb) {
    const size_t count = wb.sheets.size();
    const std::unordered_set<std::string> kept = kept_vml_parts(wb);
    const auto taken = [&](uint64_t k) { return kept.contains(PartNameSet::normalize(numbered_vml_drawing_part_name(k))); };
    std::vector<uint64_t> numbers(count);
    uint64_t spare = count + 1;
    for (size_t i = 0; i < count; ++i) {
        numbers[i] = i + 1;
        if (!taken(i + 1)) continue;
        while (taken(spare)) ++spare;
        numbers[i] = spare++;
    }
    return numbers;
}

Result<SettledSheetRels> settle_sheet_rels(const Workbook& wb, size_t sheet_index, const SheetCellOrder& order,
                                           const std::vector<uint64_t>& table_part_numbers, uint64_t vml_number,
                                           bool drawing_without_comments) {
    const Worksheet& ws = wb.sheets.at(sheet_index);
    SettledSheetRels out;
    out.ids.hyperlinks = sheet_hyperlinks(order);
    for (const HyperlinkRef& link : out.ids.hyperlinks) {
        const auto where = [&] { return sheet_label(ws.name) + " hyperlink at " + link.cell_ref; };
        if (auto ok = check_xml_text(link.hyperlink->target, where); !ok) return fail(std::move(ok.error()));
    }

    std::vector<SheetRelEntry> list;
    if (sheet_index < wb.sheet_relationships.size()) list = wb.sheet_relationships[sheet_index];

    const std::vector<SheetRelEntry> source = list;
    const std::string n = std::to_string(sheet_index + 1);
    const std::string k = vml_number ? std::to_string(vml_number) : n;
    const RelIdSet keep = ids_named_beside_legacy_drawing(ws);
    const bool has_comment = order.has_extras && std::any_of(order.begin(), order.end(), [](const OrderedCell& oc) {
        return oc.cell->comment() != nullptr;
    });
    if (has_comment || drawing_without_comments) {
        const std::string vml_target = "../drawings/vmlDrawing" + k + ".vml";
        list = has_comment ? upsert_comment_rels(list, "../comments" + n + ".xml", vml_target, keep)
                           : upsert_drawing_rels(list, vml_target, keep);
        out.ids.legacy_drawing_id = list.back().id;
    } else if (relation_id_for_type(list, kCommentsRelType)) {
        list = remove_comment_rels(list, keep);
    }
    // Without comments, before or now, the VML drawing (form controls) stays with its legacy drawing.

    std::vector<std::string> table_targets;
    table_targets.reserve(table_part_numbers.size());
    for (const uint64_t k : table_part_numbers) {
        std::string t = "../tables/table";
        xml::append_u64(t, k);
        table_targets.push_back(std::move(t) + ".xml");
    }
    list = upsert_table_rels(list, table_targets);
    // The table entries are the last ones appended, in table order.
    for (size_t i = list.size() - table_targets.size(); i < list.size(); ++i) out.ids.table_part_ids.push_back(list[i].id);

    list = upsert_hyperlink_rels(list, hyperlink_targets(out.ids.hyperlinks));
    assign_hyperlink_rel_ids(out.ids.hyperlinks, list);

    // A carried element is written only while every id it names is still that of the same source
    // relationship: one the save dropped, or handed to a relationship of its own, would leave it
    // pointing at nothing or at the wrong part.
    std::unordered_set<std::string_view> named, same;
    for (const CarriedElement& e : ws.carried) named.insert(e.rel_ids.begin(), e.rel_ids.end());
    if (!named.empty()) {
        std::unordered_set<std::string> named_in_source;
        for (const SheetRelEntry& e : source)
            if (named.contains(e.id)) named_in_source.insert(entry_key(e));
        for (const SheetRelEntry& e : list)
            if (named.contains(e.id) && named_in_source.contains(entry_key(e))) same.insert(e.id);
    }
    out.ids.carried_written.reserve(ws.carried.size());
    for (const CarriedElement& e : ws.carried) {
        bool written = std::all_of(e.rel_ids.begin(), e.rel_ids.end(), [&](const std::string& id) { return same.contains(id); });
        if (e.kind == SheetChild::LegacyDrawing && out.ids.legacy_drawing_id) written = false;
        out.ids.carried_written.push_back(written);
    }

    out.entries = std::move(list);
    return out;
}

}  // namespace velmo::writer
