#include "writer/package.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reader/package_reach.hpp"
#include "reader/sheet_rels.hpp"
#include "reader/workbook_elements.hpp"
#include "reader/workbook_rels.hpp"
#include "writer/cell_order.hpp"
#include "writer/comments_part.hpp"
#include "writer/content_types.hpp"
#include "writer/defined_names_block.hpp"
#include "writer/legacy_drawing_part.hpp"
#include "writer/namespaces.hpp"
#include "writer/shared_strings.hpp"
#include "writer/sheet_part.hpp"
#include "writer/sheet_rels_writer.hpp"
#include "writer/styles_collect.hpp"
#include "writer/styles_part.hpp"
#include "writer/table_part.hpp"
#include "writer/text_check.hpp"
#include "writer/workbook_carried.hpp"
#include "writer/xml_cell_map_part.hpp"
#include "xml/xml_writer.hpp"
#include "zip/archive_reader.hpp"
#include "zip/archive_writer.hpp"

namespace velmo::writer {
namespace {

constexpr std::string_view kStylesRelType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
constexpr std::string_view kWorksheetRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
constexpr std::string_view kSharedStringsRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings";

constexpr std::string_view kWorkbookEntry = "xl/workbook.xml";
constexpr std::string_view kWorkbookRelsEntry = "xl/_rels/workbook.xml.rels";
constexpr std::string_view kStylesEntry = "xl/styles.xml";
constexpr std::string_view kSharedStringsEntry = "xl/sharedStrings.xml";

std::string sheet_entry(size_t n) { return xml::numbered("xl/worksheets/sheet", n, ".xml"); }
std::string sheet_rels_entry(size_t n) { return xml::numbered("xl/worksheets/_rels/sheet", n, ".xml.rels"); }

// Everything about one sheet that is decided before the first entry is written.
struct SheetPlan {
    bool has_comments = false;
    // Its legacy drawing is written: for its comments, or for the form controls that notes now gone
    // shared it with.
    bool writes_drawing = false;
    SettledSheetRels rels;
    std::vector<uint64_t> table_parts;  // part number of each table, in table order
    std::string vml_part;               // the VML drawing of its comments
    std::unique_ptr<KeptDrawing> kept;  // the drawing the sheet was loaded with
    std::vector<SheetRelEntry> vml_rels;  // the drawing's relationships, when it keeps any
    std::string vml_text;                 // the drawing, when written from the one kept and read
};

// An archive open for copying whose failures to open are reported as the save reports them:
// Io when the file cannot be opened, Zip when it is not a readable archive.
Result<zip::ArchiveReader> open_source(const std::string& path) {
    auto archive = zip::ArchiveReader::open(path);
    if (!archive) {
        VelmoError e = std::move(archive.error());
        if (e.kind != ErrorKind::Io && e.kind != ErrorKind::Zip) e = VelmoError::zip(e.display());
        return fail(std::move(e));
    }
    return archive;
}

// The source's worksheet parts and their relationships parts, found through the source's own
// relationships rather than by the names the save writes, wherever the source put them: the save
// replaces them (an old one would carry relationships to parts renumbered or gone). The parts
// only they reached (comments, drawings, tables) are left out afterwards, by what the new package
// still reaches, so one that another relationship also names stays. Best effort: a source that no
// longer says where its sheets are leaves only the numbered names to skip.
PartNameSet source_replaced_entries(const zip::ArchiveReader& src) {
    PartNameSet out;
    auto wb_part = src.find_part(kWorkbookEntry);
    auto rels = src.find_part(kWorkbookRelsEntry);
    if (!wb_part || !rels || !*wb_part || !*rels) return out;
    auto wb_xml = src.read(**wb_part);
    auto rels_xml = src.read(**rels);
    if (!wb_xml || !rels_xml) return out;
    auto refs = reader::parse_sheet_refs(*wb_xml, *rels_xml);
    if (!refs) return out;
    for (const auto& sheet : refs->sheets) {
        out.add(sheet.path);
        out.add(reader::sheet_rels_path(sheet.path));
    }
    return out;
}

// The relationships parts this save writes, by part name.
using WrittenRels = std::unordered_map<std::string, const std::vector<SheetRelEntry>*, zip::PartNameHash, zip::PartNameEqual>;

// Leaves out of `to_copy` each part that the new package's relationships no longer reach while the
// source's did (a comments part written under another name, a drawing whose notes are gone, and
// what only they reached), and the relationships parts of those. A part the source itself held
// unreached is copied as before. Returns what the new package's relationships reach.
PartNameSet drop_unreached(const zip::ArchiveReader& src, const WrittenRels& written, std::vector<const zip::Entry*>& to_copy) {
    reader::PackageRels source(src);
    PartNameSet copied;
    for (const zip::Entry* e : to_copy) copied.add(e->name);
    PartNameSet reached = reader::reachable_parts([&](std::string_view name) -> const std::vector<SheetRelEntry>* {
        if (const auto it = written.find(name); it != written.end()) return it->second;
        return copied.contains(name) ? source.get(name) : nullptr;
    });
    std::vector<const zip::Entry*> unreached;
    for (const zip::Entry* e : to_copy)
        if (!reached.contains(e->name) && !reader::rels_owner(e->name) && !zip::same_part_name(e->name, kContentTypesEntry))
            unreached.push_back(e);
    if (unreached.empty()) return reached;

    const PartNameSet reached_before = reader::reachable_parts([&](std::string_view name) { return source.get(name); });
    PartNameSet gone;
    for (const zip::Entry* e : unreached)
        if (reached_before.contains(e->name)) gone.add(e->name);
    std::erase_if(to_copy, [&](const zip::Entry* e) {
        if (gone.contains(e->name)) return true;
        const auto owner = reader::rels_owner(e->name);
        return owner && !owner->empty() && gone.contains(*owner);
    });
    return reached;
}

// Adds a built part as an entry; a part that failed to build fails the save with its error.
Result<void> add_part(zip::ArchiveWriter& zw, std::string_view name, Result<std::string> part) {
    if (!part) return fail(std::move(part.error()));
    return zw.add(name, *part);
}

// The sheets whose legacy drawing this save copies rather than writes, by the drawing's part name.
// The model holds each drawing's bytes and relationships as loaded, so their copy need not come
// from the source file.
using CopiedDrawings = std::unordered_map<std::string_view, const Worksheet*, zip::PartNameHash, zip::PartNameEqual>;

// One entry of the copy: raw from the source file, or, for a copied legacy drawing, from what the
// model kept of it (another workbook loaded from the file and saved over it gave the drawing notes,
// in place or under another name, and relationships of its own).
struct CopiedEntry {
    const zip::Entry* source = nullptr;  // none: missing from the file now
    const Worksheet* drawing_of = nullptr;
    bool rels = false;  // the drawing's relationships part rather than the drawing
    bool content_types = false;  // the content types as loaded, in the place of the file's
    const std::string* text = nullptr;  // the part as this save rewrote it, in the place of its bytes
};

VelmoError source_changed(const std::string& path, std::string_view how = {}) {
    return VelmoError::io(path + " has changed since the workbook was loaded" + std::string(how));
}

// What the save copies, in source order, then what it restores of its copied drawings.
// `to_copy` holds the source entries to copy; `package`, every part of the new package so far.
// Refuses when the source file no longer holds what was loaded from it: an entry to copy whose
// name, CRC-32 or size differ from those at load (how it is compressed does not matter: its
// bytes are copied as they lie now), a copied part whose relationships part has gone, or a part
// that the new package's relationships reach and the source held then but lacks now. A file
// replaced in between, by another workbook or a new version of this one, would otherwise give a
// package that mixes two of them or points at parts it lacks. The content types are not taken
// from the file: those loaded go in their place.
Result<std::vector<CopiedEntry>> plan_copy(const Workbook& wb, const std::string& path,
                                           const std::vector<const zip::Entry*>& to_copy, const PartNameSet& reached,
                                           PartNameSet& package, const CopiedDrawings& drawings) {
    std::unordered_map<std::string_view, const SourceEntry*, zip::PartNameHash, zip::PartNameEqual> loaded;
    for (const SourceEntry& e : wb.source_entries) loaded.try_emplace(e.name, &e);
    const auto same_as_loaded = [&](const zip::Entry& e) {
        const auto it = loaded.find(e.name);
        return it != loaded.end() && it->second->name == e.name && it->second->crc32 == e.crc32 &&
               it->second->size == e.uncompressed_size;
    };
    const auto changed = [&] { return fail(source_changed(path)); };
    const auto drawing_of = [&](std::string_view name) -> const Worksheet* {
        const auto it = drawings.find(name);
        return it == drawings.end() ? nullptr : it->second;
    };

    // The package's own relationships say where its workbook is: a copy with other ones, or none,
    // is another package or none at all.
    if (loaded.contains(kPackageRelsEntry) && !package.contains(kPackageRelsEntry))
        return fail(source_changed(path, ": " + std::string(kPackageRelsEntry) + " is missing"));

    std::vector<CopiedEntry> out;
    out.reserve(to_copy.size());
    for (const zip::Entry* e : to_copy) {
        if (zip::same_part_name(e->name, kContentTypesEntry)) {
            out.push_back({.content_types = true});
            continue;
        }
        if (zip::same_part_name(e->name, kPackageRelsEntry) && !same_as_loaded(*e))
            return fail(source_changed(path, ": " + e->name + " differs"));
        const auto owner = reader::rels_owner(e->name);
        const Worksheet* drawing = drawing_of(e->name);
        const Worksheet* rels_of_drawing = owner && !owner->empty() ? drawing_of(*owner) : nullptr;
        // A copied drawing's relationships that are gone are restored below.
        const std::string own_rels = reader::sheet_rels_path(e->name);
        if (!owner && !drawing && loaded.contains(own_rels) && !package.contains(own_rels)) return changed();
        if (same_as_loaded(*e)) out.push_back({e});
        else if (drawing || rels_of_drawing) out.push_back({e, drawing ? drawing : rels_of_drawing, !drawing});
        else return changed();
    }
    std::vector<std::string> missing;
    for (const std::string& name : reached)
        if (!package.contains(name) && loaded.contains(name)) missing.push_back(name);
    std::sort(missing.begin(), missing.end());
    for (const std::string& name : missing) {
        // Written after the rest, it is declared by the "vml" default.
        const Worksheet* ws = drawing_of(name);
        if (!ws || !PartNameSet::normalize(name).ends_with(".vml")) return changed();
        out.push_back({nullptr, ws, false});
        package.add(ws->legacy_drawing->part);
    }
    // A restored drawing's relationships go with it; a copied drawing's that are gone too. In part
    // order, so that two saves give the same package.
    std::vector<const Worksheet*> restored;
    for (const auto& [part, ws] : drawings) {
        const SourceDrawing& d = *ws->legacy_drawing;
        if (package.contains(d.part) && !d.relationships.empty() && !package.contains(reader::sheet_rels_path(d.part)))
            restored.push_back(ws);
    }
    std::sort(restored.begin(), restored.end(), [](const Worksheet* a, const Worksheet* b) {
        return a->legacy_drawing->part < b->legacy_drawing->part;
    });
    for (const Worksheet* ws : restored) {
        out.push_back({nullptr, ws, true});
        package.add(reader::sheet_rels_path(ws->legacy_drawing->part));
    }
    return out;
}

// An entry of the source that cannot be read whole, told with the source it lies in.
VelmoError damaged_entry(const std::string& source, const VelmoError& error) {
    return VelmoError::zip(source + ": " + error.message);
}

// Writes bytes taken from the source as they are stored, once they prove to inflate to what the
// entry records: a copy must not pass on an entry damaged on disk, before the load or since.
Result<void> add_intact(zip::ArchiveWriter& zw, zip::StoredCheck& check, const zip::Entry& entry,
                        std::string_view stored, const std::string& source) {
    if (auto ok = check(entry, stored); !ok) return fail(damaged_entry(source, ok.error()));
    return zw.add_raw(entry, stored);
}

// Copies a source entry raw, a piece at a time, proving on the way that its bytes inflate to what
// the entry records, so that neither the copy nor its check holds the entry whole. The pieces are
// written before the verdict: a damaged entry fails the save, which then drops its file.
Result<void> copy_intact(zip::ArchiveWriter& zw, zip::StoredCheck& check, const zip::ArchiveReader& src,
                         const zip::Entry& entry, const std::string& source) {
    if (auto ok = check.begin(entry); !ok) return fail(damaged_entry(source, ok.error()));
    if (auto r = zw.begin_raw(entry); !r) return r;
    bool sink_failed = false;
    auto copied = src.read_raw_chunks(entry, [&](std::string_view piece) -> Result<void> {
        auto ok = check.feed(piece);
        if (!ok) ok = fail(damaged_entry(source, ok.error()));
        else ok = zw.add_raw_bytes(piece);
        sink_failed = !ok;
        return ok;
    }, check.piece_size());
    if (!copied) return sink_failed ? copied : fail(damaged_entry(source, copied.error()));
    if (auto ok = check.end(); !ok) return fail(damaged_entry(source, ok.error()));
    return zw.end_raw();
}

// A table's own relationships as loaded, which its part takes along under this save's name for
// it; null when it has none.
const std::vector<SheetRelEntry>* own_relationships(const SheetTable& table) {
    return table.raw && !table.raw->relationships.empty() ? &table.raw->relationships : nullptr;
}

zip::Entry content_types_entry(const StoredPart& types) {
    return zip::kept_entry(types.name, types.method, types.crc32, types.size, types.stored.size());
}

// Writes one entry of the copy.
Result<void> write_copied(zip::ArchiveWriter& zw, zip::StoredCheck& check, const zip::ArchiveReader& src,
                          const Workbook& wb, const std::string& source, const CopiedEntry& c) {
    if (c.content_types) {
        // Proven intact when they were inflated for the patch.
        const StoredPart& types = *wb.source_content_types;
        return zw.add_raw(content_types_entry(types), types.stored);
    }
    if (c.text) return zw.add(c.source->name, *c.text);
    if (!c.drawing_of) return copy_intact(zw, check, src, *c.source, source);
    const SourceDrawing& d = *c.drawing_of->legacy_drawing;
    if (!c.rels) return add_intact(zw, check, stored_drawing_entry(d, d.part), d.stored, source);
    // A drawing loaded without relationships has none in the copy either.
    if (d.relationships.empty()) return {};
    return add_part(zw, reader::sheet_rels_path(d.part), write_sheet_rels(d.relationships, c.drawing_of->name));
}

// Whether a source entry is one this save regenerates (or deliberately drops) rather than copies.
// Names are compared as part names (ASCII case and %XX escapes aside): an entry that merely
// spells a regenerated part differently still names that part, and copying it would leave the
// package with two entries for one part.
bool regenerated(std::string_view entry_name, size_t sheet_count, const PartNameSet& written,
                 const PartNameSet& replaced) {
    const std::string normalized = PartNameSet::normalize(entry_name);
    const std::string_view name = normalized;
    if (written.contains(name)) return true;
    for (std::string_view fixed : {kWorkbookEntry, kWorkbookRelsEntry, kStylesEntry, kSharedStringsEntry})
        if (name == PartNameSet::normalize(fixed)) return true;
    if (replaced.contains(name)) return true;
    // A part this save writes relates to what it says itself (a table to its own relationships,
    // under its new name), never to what the source's part of that name did.
    if (const auto owner = reader::rels_owner(name); owner && !owner->empty() && written.contains(*owner)) return true;
    // "xl/worksheets/sheet{k}.xml" and its relationships part for k in 1..N, in the plain
    // decimal form this save writes.
    auto numbered_in_range = [&](std::string_view prefix, std::string_view suffix) {
        if (!name.starts_with(prefix) || !name.ends_with(suffix) || name.size() <= prefix.size() + suffix.size())
            return false;
        const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (digits.front() == '0' || digits.size() > 19) return false;
        uint64_t k = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            k = k * 10 + static_cast<uint64_t>(c - '0');
        }
        return k <= sheet_count;  // a leading zero was refused, so k >= 1
    };
    return numbered_in_range("xl/worksheets/sheet", ".xml") ||
           numbered_in_range("xl/worksheets/_rels/sheet", ".xml.rels");
}

// The `state` a sheet element writes; none for a visible sheet.
const char* sheet_state_text(SheetState state) {
    switch (state) {
    case SheetState::Hidden: return "hidden";
    case SheetState::VeryHidden: return "veryHidden";
    case SheetState::Visible: break;
    }
    return nullptr;
}


}  // namespace

Result<std::string> write_workbook_xml(const Workbook& wb, const WorkbookPlan& plan) {
    for (const Worksheet& ws : wb.sheets) {
        auto ok = check_xml_text(ws.name, [&] { return "the title of " + sheet_label(ws.name); });
        if (!ok) return fail(std::move(ok.error()));
    }
    const uint64_t active_tab = wb.active_index < wb.sheets.size() ? wb.active_index : 0;
    xml::XmlWriter w = xml::XmlWriter::with_declaration(512 + 96 * wb.sheets.size());
    start_workbook_root(w, plan);
    // The kept children go at their places among the ones built here.
    write_workbook_elements_after(w, plan, "");
    for (const std::string_view child : reader::kWorkbookChildOrder) {
        if (child == "sheets") {
            w.start("sheets");
            for (size_t i = 0; i < wb.sheets.size(); ++i) {
                w.open("sheet").attr("name", wb.sheets[i].name).attr("sheetId", i + 1);
                if (const char* state = sheet_state_text(wb.sheets[i].state)) w.attr("state", state);
                w.attr("r:id", plan.sheet_ids[i]).close_empty();
            }
            w.end("sheets");
        } else if (child == "definedNames") {
            if (auto ok = write_defined_names_block(w, wb.sheets, wb.defined_names, wb.raw_defined_names); !ok)
                return fail(std::move(ok.error()));
        } else if (!write_kept_workbook_elements(w, plan, child, active_tab) && child == "bookViews") {
            w.start("bookViews");
            w.open("workbookView").attr("activeTab", active_tab).close_empty();
            w.end("bookViews");
        }
        write_workbook_elements_after(w, plan, child);
    }
    w.end("workbook");
    return std::move(w).finish();
}

std::vector<SheetRelEntry> workbook_rels_entries(const WorkbookPlan& plan, bool has_strings) {
    std::vector<SheetRelEntry> out;
    out.reserve(plan.sheet_ids.size() + plan.kept_rels.size() + 2);
    out.push_back({plan.styles_id, std::string(kStylesRelType), "styles.xml", std::nullopt});
    for (size_t i = 0; i < plan.sheet_ids.size(); ++i)
        out.push_back({plan.sheet_ids[i], std::string(kWorksheetRelType), xml::numbered("worksheets/sheet", i + 1, ".xml"),
                       std::nullopt});
    if (has_strings)
        out.push_back({plan.shared_strings_id, std::string(kSharedStringsRelType), "sharedStrings.xml", std::nullopt});
    out.insert(out.end(), plan.kept_rels.begin(), plan.kept_rels.end());
    return out;
}

Result<void> write_package(const Workbook& wb, zip::Output& out, const std::optional<std::string>& source) {
    const size_t sheet_count = wb.sheets.size();

    // Everything shared by several parts, worked out once, in one cell order per sheet so that
    // two saves of one workbook give the same bytes.
    auto orders = order_workbook_cells(wb);
    if (!orders) return fail(std::move(orders.error()));
    auto strings = build_shared_strings(wb, *orders);
    if (!strings) return fail(std::move(strings.error()));
    auto styles = collect_styles(wb, source.has_value(), *orders);
    if (!styles) return fail(std::move(styles.error()));
    const TableNumbering tables = assign_table_ids(wb.sheets, source ? table_numbers_taken(wb) : std::unordered_set<uint64_t>{});
    const WorkbookPlan workbook_plan = plan_workbook_part(wb, source.has_value());

    WrittenParts parts;
    parts.sheet_count = sheet_count;
    parts.has_strings = !strings->empty();
    parts.table_parts = tables.all_part_numbers();

    std::vector<SheetPlan> plans(sheet_count);
    const std::vector<uint64_t> vml_numbers = comment_vml_numbers(wb);
    const std::unordered_set<std::string> kept_vml = kept_vml_parts(wb);
    // Source entries this save neither writes nor copies: drawings whose notes and controls it
    // writes anew, and relationships parts that would otherwise attach to a drawing it writes.
    PartNameSet dropped;
    for (const auto& name : workbook_plan.dropped_entries) dropped.add(name);
    for (size_t i = 0; i < sheet_count; ++i) {
        const Worksheet& ws = wb.sheets[i];
        SheetPlan& plan = plans[i];
        // A cell with a comment has extras, and every such cell is in the order.
        plan.has_comments = (*orders)[i].has_extras && has_comments(ws);
        if (plan.has_comments) parts.comment_sheets.push_back(i + 1);
        plan.table_parts = tables.part_numbers(i);
        plan.vml_part = numbered_vml_drawing_part_name(vml_numbers[i]);
        const bool had_comments = i < wb.sheet_relationships.size() &&
                                  relation_id_for_type(wb.sheet_relationships[i], kCommentsRelType).has_value();
        // A drawing of form controls alone is carried over as it is (settle_sheet_rels); one that
        // shows notes, then or now, is written from the model and the source's own.
        if (ws.legacy_drawing && (plan.has_comments || had_comments)) {
            // Unchanged since the load, it is copied without being read.
            const bool as_is = plan.has_comments && had_comments && drawing_as_loaded(ws, (*orders)[i]);
            plan.kept = read_kept_drawing(*ws.legacy_drawing, as_is);
            if (!kept_vml.contains(PartNameSet::normalize(ws.legacy_drawing->part))) {
                dropped.add(ws.legacy_drawing->part);
                dropped.add(reader::sheet_rels_path(ws.legacy_drawing->part));
            }
        }
        plan.writes_drawing = plan.has_comments || (plan.kept && plan.kept->drawing && !plan.kept->drawing->shapes.empty());
        if (plan.writes_drawing) {
            parts.vml_drawings = true;
            if (plan.kept) plan.vml_rels = kept_drawing_relationships(*ws.legacy_drawing, plan.vml_part);
            if (plan.kept && plan.kept->drawing) {
                plan.vml_text = write_vml_drawing((*orders)[i], plan.kept.get(), ws.legacy_drawing->edits);
                plan.vml_rels = named_relationships(std::move(plan.vml_rels), plan.vml_text);
            }
            if (plan.vml_rels.empty()) dropped.add(reader::sheet_rels_path(plan.vml_part));
        }
        auto rels = settle_sheet_rels(wb, i, (*orders)[i], plan.table_parts, vml_numbers[i],
                                      plan.writes_drawing && !plan.has_comments);
        if (!rels) return fail(std::move(rels.error()));
        plan.rels = std::move(*rels);
        drop_emptied_map_rels(plan.rels.entries, ws);
    }

    // The names this save writes, known before the first is written, so that the content types
    // declare exactly what the package will hold.
    std::unordered_set<std::string> written{std::string(kWorkbookEntry), std::string(kWorkbookRelsEntry),
                                            std::string(kStylesEntry)};
    if (parts.has_strings) written.insert(std::string(kSharedStringsEntry));
    for (size_t i = 0; i < sheet_count; ++i) {
        written.insert(sheet_entry(i + 1));
        if (plans[i].has_comments) written.insert(comments_part_name(i));
        if (plans[i].writes_drawing) written.insert(plans[i].vml_part);
        if (!plans[i].vml_rels.empty()) written.insert(reader::sheet_rels_path(plans[i].vml_part));
        for (size_t t = 0; t < plans[i].table_parts.size(); ++t) {
            written.insert(table_part_name(plans[i].table_parts[t]));
            if (own_relationships(wb.sheets[i].tables[t])) written.insert(table_rels_part_name(plans[i].table_parts[t]));
        }
        if (!plans[i].rels.entries.empty()) written.insert(sheet_rels_entry(i + 1));
    }

    // The kept relationships were chosen for texts XML can carry; the others are the writer's own.
    const std::vector<SheetRelEntry> workbook_rels = workbook_rels_entries(workbook_plan, parts.has_strings);

    zip::ArchiveWriter zw(out);
    zip::StoredCheck check;
    // What a damaged entry is said to lie in; a workbook loaded from memory has no path.
    const std::string source_name = source.value_or("the loaded package");

    std::optional<zip::ArchiveReader> src;
    std::vector<CopiedEntry> copy;
    RewrittenMaps maps;  // the texts some entries of `copy` point at
    if (!source) {
        if (auto r = zw.add(kContentTypesEntry, generated_content_types_xml(parts)); !r) return r;
        if (auto r = zw.add(kPackageRelsEntry, generated_package_rels_xml()); !r) return r;
    } else {
        auto opened = open_source(*source);
        if (!opened) return fail(std::move(opened.error()));
        src.emplace(std::move(*opened));

        const auto replaced = source_replaced_entries(*src);
        PartNameSet package;
        for (const auto& name : written) package.add(name);
        const PartNameSet generated = package;
        std::vector<const zip::Entry*> to_copy;
        for (const zip::Entry& e : src->entries()) {
            if (regenerated(e.name, sheet_count, generated, replaced) || dropped.contains(e.name)) continue;
            // Two source entries naming one part: neither can be dropped without losing data,
            // and copying both would make a package no reader can trust.
            if (!package.add(e.name)) return fail(VelmoError::zip("duplicate entry name " + e.name));
            to_copy.push_back(&e);
        }
        // What no relationship reached at load is copied whatever the edits: gone from the file
        // since, the copy would silently lack it.
        for (const SourceEntry& e : wb.source_entries)
            if (e.unreached && !package.contains(e.name) && !zip::same_part_name(e.name, kContentTypesEntry) &&
                !regenerated(e.name, sheet_count, generated, replaced) && !dropped.contains(e.name))
                return fail(source_changed(*source));
        // A drawing copied rather than written reaches what it reached when loaded.
        CopiedDrawings copied_drawings;
        for (size_t i = 0; i < sheet_count; ++i)
            if (const auto& d = wb.sheets[i].legacy_drawing; d && !plans[i].writes_drawing && !dropped.contains(d->part))
                copied_drawings.try_emplace(d->part, &wb.sheets[i]);
        WrittenRels written_rels{{std::string(kWorkbookRelsEntry), &workbook_rels}};
        for (size_t i = 0; i < sheet_count; ++i) {
            if (!plans[i].rels.entries.empty()) written_rels.emplace(sheet_rels_entry(i + 1), &plans[i].rels.entries);
            if (!plans[i].vml_rels.empty()) written_rels.emplace(reader::sheet_rels_path(plans[i].vml_part), &plans[i].vml_rels);
            for (size_t t = 0; t < plans[i].table_parts.size(); ++t)
                if (const auto* own = own_relationships(wb.sheets[i].tables[t]))
                    written_rels.emplace(table_rels_part_name(plans[i].table_parts[t]), own);
        }
        for (const auto& [part, ws] : copied_drawings)
            written_rels.emplace(reader::sheet_rels_path(part), &ws->legacy_drawing->relationships);
        const PartNameSet reached = drop_unreached(*src, written_rels, to_copy);
        package = generated;
        for (const zip::Entry* e : to_copy) package.add(e->name);
        auto planned = plan_copy(wb, *source, to_copy, reached, package, copied_drawings);
        if (!planned) return fail(std::move(planned.error()));
        copy = std::move(*planned);
        // A map part whose entries moved keeps its place in the copy, with the model's text.
        maps = rewritten_map_parts(wb);
        if (!maps.empty()) {
            for (CopiedEntry& c : copy) {
                if (!c.source || c.drawing_of || c.content_types) continue;
                if (const auto it = maps.find(c.source->name); it != maps.end()) c.text = &it->second;
            }
        }
        if (std::any_of(copy.begin(), copy.end(), [](const CopiedEntry& c) { return c.drawing_of && !c.source && !c.rels; }))
            parts.vml_drawings = true;

        // The content types as loaded: they declare what was loaded, which is what the save copies.
        if (!wb.source_content_types)
            return fail(VelmoError::zip(*source + ": " + std::string(kContentTypesEntry) + " is missing or unreadable"));
        const StoredPart& types = *wb.source_content_types;
        auto text = zip::inflate_stored(content_types_entry(types), types.stored);
        if (!text) return fail(damaged_entry(*source, text.error()));
        auto patched = patch_content_types(*text, parts, package);
        if (!patched) return fail(std::move(patched.error()));
        // First whenever the package holds parts the source may not declare (text, notes,
        // tables), as readers that recognise a package by its first entry expect; carried over
        // raw, in its place among the copied entries, only when nothing needs declaring or removing.
        const bool patched_mode = parts.has_strings || !parts.comment_sheets.empty() || !parts.table_parts.empty();
        if (patched_mode || *patched != *text) {
            if (auto r = zw.add(kContentTypesEntry, *patched); !r) return r;
            std::erase_if(copy, [](const CopiedEntry& c) { return c.content_types; });
        } else if (std::none_of(copy.begin(), copy.end(), [](const CopiedEntry& c) { return c.content_types; })) {
            copy.insert(copy.begin(), CopiedEntry{.content_types = true});
        }
    }

    if (auto r = add_part(zw, kWorkbookEntry, write_workbook_xml(wb, workbook_plan)); !r) return r;
    if (auto r = zw.add(kWorkbookRelsEntry, relationships_part_xml(workbook_rels)); !r) return r;
    if (auto r = add_part(zw, kStylesEntry, write_styles_xml(*styles)); !r) return r;
    if (parts.has_strings) {
        if (auto r = add_part(zw, kSharedStringsEntry, write_shared_strings_xml(*strings)); !r) return r;
    }

    for (size_t i = 0; i < sheet_count; ++i) {
        const Worksheet& ws = wb.sheets[i];
        const SheetPlan& plan = plans[i];
        const SheetCellOrder& order = (*orders)[i];
        if (auto r = add_part(zw, sheet_entry(i + 1),
                              write_sheet_xml(ws, i, order, *strings, *styles, plan.rels.ids, i == wb.active_index));
            !r)
            return r;
        if (plan.has_comments) {
            if (auto r = add_part(zw, comments_part_name(i), write_comments_xml(ws, order)); !r) return r;
        }
        if (plan.writes_drawing) {
            if (plan.kept && !plan.kept->drawing) {
                const SourceDrawing& d = *ws.legacy_drawing;
                if (auto r = add_intact(zw, check, stored_drawing_entry(d, plan.vml_part), d.stored, source_name); !r) return r;
            } else if (auto r = zw.add(plan.vml_part, plan.kept ? plan.vml_text : write_vml_drawing(order)); !r) {
                return r;
            }
            if (!plan.vml_rels.empty()) {
                if (auto r = add_part(zw, reader::sheet_rels_path(plan.vml_part), write_sheet_rels(plan.vml_rels, ws.name)); !r)
                    return r;
            }
        }
        for (size_t t = 0; t < ws.tables.size(); ++t) {
            const TablePlan& tp = tables.sheets[i][t];
            if (auto r = add_part(zw, table_part_name(tp.part_number), table_part_bytes(ws, ws.tables[t], tp)); !r) return r;
            if (const auto* own = own_relationships(ws.tables[t])) {
                if (auto r = add_part(zw, table_rels_part_name(tp.part_number), write_sheet_rels(*own, ws.name)); !r)
                    return r;
            }
        }
        if (!plan.rels.entries.empty()) {
            if (auto r = add_part(zw, sheet_rels_entry(i + 1), write_sheet_rels(plan.rels.entries, ws.name)); !r) return r;
        }
    }

    for (const CopiedEntry& c : copy)
        if (auto r = write_copied(zw, check, *src, wb, source_name, c); !r) return r;
    return zw.finish();
}

}  // namespace velmo::writer
