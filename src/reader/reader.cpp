#include "reader/reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reader/cell_key.hpp"
#include "reader/comments_reader.hpp"
#include "reader/content_types.hpp"
#include "reader/defined_names_reader.hpp"
#include "reader/package_reach.hpp"
#include "reader/pivot_table_reader.hpp"
#include "reader/shared_strings.hpp"
#include "reader/sheet.hpp"
#include "reader/sheet_rels.hpp"
#include "reader/styles.hpp"
#include "reader/table_reader.hpp"
#include "reader/workbook_elements.hpp"
#include "reader/workbook_rels.hpp"
#include "reader/xml_cell_map_reader.hpp"
#include "zip/archive_reader.hpp"

namespace velmo::reader {

namespace {

constexpr std::string_view kStylesPart = "xl/styles.xml";
constexpr std::string_view kSharedStringsPart = "xl/sharedStrings.xml";

// The path made absolute against the current directory, textually: symbolic links are not
// resolved and nothing is normalised, so a later save re-opens the very file that was loaded
// even after the working directory changes.
std::string absolute_path(std::string_view path) {
    if (path.empty() || path.front() == '/') return std::string(path);
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE || cwd.size() > (1u << 20)) return std::string(path);
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    if (cwd.empty() || cwd.back() != '/') cwd.push_back('/');
    cwd.append(path);
    return cwd;
}

// A part the package cannot do without: absent or unreadable, it is reported missing. Parts are
// found by part name, so another producer's spelling of the name serves; see find_part.
Result<std::string> read_required(const zip::ArchiveReader& archive, std::string_view name) {
    auto entry = archive.find_part(name);
    if (!entry) return fail(std::move(entry.error()));
    if (!*entry) return fail(VelmoError::missing_part(std::string(name)));
    auto bytes = archive.read(**entry);
    if (!bytes) return fail(VelmoError::missing_part(std::string(name)));
    return bytes;
}

// A part that may be absent; one that is present but unreadable fails the load.
Result<std::optional<std::string>> read_optional(const zip::ArchiveReader& archive, std::string_view name) {
    auto entry = archive.find_part(name);
    if (!entry) return fail(std::move(entry.error()));
    if (!*entry) return std::optional<std::string>{};
    auto bytes = archive.read(**entry);
    if (!bytes) {
        if (bytes.error().kind == ErrorKind::Zip) return fail(std::move(bytes.error()));
        return fail(VelmoError::zip(bytes.error().message));
    }
    return std::optional<std::string>(std::move(*bytes));
}

// The relationships of `part`, none when it has no relationships part; a relationships part that
// cannot be read fails the load, naming it.
Result<std::vector<SheetRelEntry>> read_part_rels(const zip::ArchiveReader& archive, std::string_view part) {
    const std::string name = sheet_rels_path(part);
    auto bytes = read_optional(archive, name);
    if (!bytes) return fail(std::move(bytes.error()));
    if (!*bytes) return std::vector<SheetRelEntry>{};
    auto read = parse_sheet_rels(**bytes);
    if (!read) return fail(in_part(name, read.error()));
    return read;
}

// Names of the parts already read, by part: two spellings of one name are one part.
using PartsRead = std::unordered_set<std::string, zip::PartNameHash, zip::PartNameEqual>;
// Pivot table parts already looked at, with the location each gave.
using PivotsRead =
    std::unordered_map<std::string, std::optional<PivotTableLocation>, zip::PartNameHash, zip::PartNameEqual>;

// What every worksheet of one package shares while it loads.
struct LoadContext {
    const zip::ArchiveReader& archive;
    const SharedStrings& shared_strings;
    const std::shared_ptr<const StyleSheet>& styles;
    const std::vector<std::optional<TemporalKind>>& temporal_kinds;
    bool date1904;
    // Worksheet, comments and table parts already read. Each is read once per package: a part
    // that several relationships name would otherwise be parsed and held once per name, so a
    // small file could make the load take any amount of memory.
    PartsRead* parts_read;
    PivotsRead* pivots_read;
    SharedFormulaBudget* shared_formulas;  // one for all the sheets
    PartsRead* maps_read;                  // XML map parts
};

// The cell under exactly `key`, created empty with the workbook's style sheet when absent.
Cell& find_or_create_cell(Worksheet& ws, std::string_view key, const std::shared_ptr<const StyleSheet>& styles) {
    if (Cell* cell = ws.find_cell_mut(key)) return *cell;
    Cell cell;
    cell.stylesheet = styles;
    ws.put_cell(std::string(key), std::move(cell));
    return *ws.find_cell_mut(key);
}

void attach_hyperlinks(Worksheet& ws, std::vector<RawHyperlink>& links, const std::vector<SheetRelEntry>& rels,
                       const std::shared_ptr<const StyleSheet>& styles) {
    // The first relationship of each id, indexed so that many links over many relationships
    // do not cost their product.
    std::unordered_map<std::string_view, std::string_view> target_by_id;
    if (!links.empty())
        for (const auto& rel : rels) target_by_id.try_emplace(rel.id, rel.target);
    for (auto& link : links) {
        // The relationship's target as stored: an external address stays untouched.
        std::string target;
        if (link.rel_id) {
            if (auto t = target_by_id.find(*link.rel_id); t != target_by_id.end()) target = std::string(t->second);
        }
        Cell& cell = find_or_create_cell(ws, link.cell_ref, styles);
        cell.extras_mut().hyperlink = Hyperlink{std::move(target), std::move(link.location), std::move(link.tooltip),
                                                std::move(link.display), link.rows, link.cols};
    }
}

// The legacy drawing the sheet's legacyDrawing element names (its notes' boxes, form controls) is
// kept as the package stores it, with its relationships, but not read (SourceDrawing). Being
// optional, a drawing that cannot be found or kept is not: its notes get the standard box. One
// named by several sheets goes to the first.
void note_legacy_drawing(const LoadContext& ctx, std::string_view sheet_path, const std::vector<SheetRelEntry>& rels,
                         size_t notes, Worksheet& ws) {
    const auto element = std::find_if(ws.carried.begin(), ws.carried.end(), [](const CarriedElement& e) {
        return e.kind == SheetChild::LegacyDrawing && !e.rel_ids.empty();
    });
    if (element == ws.carried.end()) return;
    const auto rel = std::find_if(rels.begin(), rels.end(), [&](const SheetRelEntry& e) { return e.id == element->rel_ids.front(); });
    if (rel == rels.end() || rel->rel_type != kVmlDrawingRelType || rel->target_mode) return;
    const std::string name = resolve_sheet_target(sheet_path, rel->target);
    const auto entry = ctx.archive.find_part(name);
    if (!entry || !*entry || !ctx.parts_read->insert(name).second) return;
    const zip::Entry& e = **entry;
    if (e.encrypted() || (e.method != zip::kMethodStored && e.method != zip::kMethodDeflate)) return;
    auto stored = ctx.archive.read_raw(e);
    if (!stored) return;
    std::vector<SheetRelEntry> relationships;
    auto own_rels = read_optional(ctx.archive, sheet_rels_path(e.name));
    if (!own_rels) return;
    if (*own_rels) {
        auto parsed = parse_sheet_rels(**own_rels);
        if (!parsed) return;
        relationships = std::move(*parsed);
    }
    ws.legacy_drawing = SourceDrawing{e.name, e.method, e.crc32, e.uncompressed_size, std::move(*stored),
                                      std::move(relationships), notes, {}};
}

// The locations of the pivot tables the sheet's relationships reach, each part read once per
// package. A part that is missing, unreadable or names no location is passed over: the load does
// not depend on parts it only carries.
void note_pivot_tables(const LoadContext& ctx, std::string_view sheet_path, const std::vector<SheetRelEntry>& rels,
                       Worksheet& ws) {
    PartsRead seen;
    for (const SheetRelEntry& rel : rels) {
        if (rel.rel_type != kPivotTableRelType || rel.target_mode == "External") continue;
        std::string name = resolve_sheet_target(sheet_path, rel.target);
        if (!seen.insert(name).second) continue;
        auto [at, fresh] = ctx.pivots_read->try_emplace(std::move(name));
        if (fresh) {
            auto part = read_optional(ctx.archive, at->first);
            if (part && *part) at->second = parse_pivot_location(**part, at->first);
        }
        if (at->second) ws.pivot_tables.push_back(*at->second);
    }
}

// The cells the sheet's relationships bind to XML maps, each part read once per package. A part
// that is missing binds nothing; one that cannot be read, or does not say plainly where its cells
// are, is noted as unread, so that edits which move cells refuse rather than leave it behind them. The
// load never fails for it: the part is carried, whatever it holds.
void note_xml_cell_maps(const LoadContext& ctx, std::string_view sheet_path, const std::vector<SheetRelEntry>& rels,
                        Worksheet& ws) {
    for (const SheetRelEntry& rel : rels) {
        if (rel.rel_type != kTableSingleCellsRelType || rel.target_mode == "External") continue;
        const auto entry = ctx.archive.find_part(resolve_sheet_target(sheet_path, rel.target));
        if (!entry || !*entry) continue;
        XmlCellMap map{(*entry)->name, rel.id, XmlCellMap::Hold::Shared, {}, {}};
        // A part reached before is not read again; hold_shared_maps then holds its first reach too.
        if (ctx.maps_read->insert(map.part).second) {
            map.hold = XmlCellMap::Hold::Unread;
            if (auto text = ctx.archive.read(**entry)) {
                if (auto cells = parse_xml_cell_map(*text)) {
                    map.hold = XmlCellMap::Hold::Follows;
                    map.text = std::move(*text);
                    map.cells = std::move(*cells);
                }
            }
        }
        ws.xml_cell_maps.push_back(std::move(map));
    }
}

// A map part that several relationships reach (of one sheet or of several), that the load read as
// another kind of part, or whose relationship's id the sheet gives another relationship too, cannot
// follow the edits of one sheet alone: its sheets refuse edits that move cells.
void hold_shared_maps(Workbook& wb, const PartsRead& parts_read) {
    std::unordered_map<std::string_view, size_t, zip::PartNameHash, zip::PartNameEqual> reached;
    for (const Worksheet& ws : wb.sheets)
        for (const XmlCellMap& map : ws.xml_cell_maps) ++reached[map.part];
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        if (wb.sheets[i].xml_cell_maps.empty()) continue;
        std::unordered_map<std::string_view, size_t> ids;
        for (const SheetRelEntry& e : wb.sheet_relationships[i]) ++ids[e.id];
        for (XmlCellMap& map : wb.sheets[i].xml_cell_maps) {
            if (map.hold != XmlCellMap::Hold::Follows) continue;
            if (reached[map.part] == 1 && ids[map.rel_id] == 1 && !parts_read.contains(map.part)) continue;
            map = XmlCellMap{std::move(map.part), std::move(map.rel_id), XmlCellMap::Hold::Shared, {}, {}};
        }
    }
}

Result<void> load_sheet(const LoadContext& ctx, const SheetRef& ref, Workbook& wb) {
    if (!ctx.parts_read->insert(ref.path).second)
        return fail(VelmoError::invalid_format("worksheet part " + ref.path + " belongs to more than one sheet"));
    ParsedSheet parsed;
    {
        auto part = read_required(ctx.archive, ref.path);
        if (!part) return fail(part.error());
        auto sheet =
            parse_sheet(*part, ctx.shared_strings, ctx.styles, ctx.temporal_kinds, ctx.date1904, ctx.shared_formulas);
        if (!sheet) return fail(in_part(ref.path, sheet.error()));
        parsed = std::move(*sheet);
    }
    Worksheet& ws = parsed.worksheet;
    ws.name = ref.name;
    ws.state = ref.state;

    auto read_rels = read_part_rels(ctx.archive, ref.path);
    if (!read_rels) return fail(std::move(read_rels.error()));
    std::vector<SheetRelEntry> rels = std::move(*read_rels);

    // Comments are attached here, then tables are read, before hyperlinks, so that a cell can
    // carry both a comment and a link.
    size_t notes = 0;
    if (auto target = relation_target_for_type(rels, kCommentsRelType);
        target && ctx.parts_read->insert(resolve_sheet_target(ref.path, *target)).second) {
        const std::string name = resolve_sheet_target(ref.path, *target);
        auto part = read_optional(ctx.archive, name);
        if (!part) return fail(part.error());
        if (*part) {
            // The notes' kept text elements are slices of the part, which they keep.
            auto owned = std::make_shared<const std::string>(std::move(**part));
            auto comments = parse_comments_xml(*owned, owned);
            if (!comments) return fail(in_part(name, comments.error()));
            // Keyed by the reference as written: a comment on "a1" lands on the cell "a1". One on a
            // range lands on its top-left cell, unless a comment names that cell itself.
            for (const bool exact : {false, true}) {
                for (auto& [ref, comment] : *comments) {
                    const auto key = attached_cell_key(ref);
                    if (!key || (*key == ref) != exact) continue;
                    comment.loaded_at = coords::parse_a1(*key);
                    auto& slot = find_or_create_cell(ws, *key, ctx.styles).extras_mut().comment;
                    if (!slot) ++notes;
                    slot = std::move(comment);
                }
            }
        }
    }
    note_legacy_drawing(ctx, ref.path, rels, notes, ws);
    for (const std::string_view target : relation_targets_for_type(rels, kTableRelType)) {
        const std::string name = resolve_sheet_target(ref.path, target);
        if (!ctx.parts_read->insert(name).second) continue;
        auto part = read_optional(ctx.archive, name);
        if (!part) return fail(part.error());
        if (!*part) continue;
        auto table = parse_table_xml(**part);
        if (!table) return fail(in_part(name, table.error()));
        // A save names the part anew, so its relationships go with the table rather than the name.
        auto own = read_part_rels(ctx.archive, name);
        if (!own) return fail(std::move(own.error()));
        rebase_targets(*own, name, "xl/tables/");
        // The part's bytes stay with the table, for the writer to copy back while it is unchanged.
        ws.tables.push_back(SheetTable{std::move(*table), RawTable{std::move(**part), false, std::move(*own)}});
    }

    note_pivot_tables(ctx, ref.path, rels, ws);
    note_xml_cell_maps(ctx, ref.path, rels, ws);
    attach_hyperlinks(ws, parsed.hyperlinks, rels, ctx.styles);

    // A save writes the sheet as "xl/worksheets/sheetN.xml": from there, targets relative to a
    // sheet stored in another folder would reach nothing.
    rebase_targets(rels, ref.path, "xl/worksheets/");
    wb.sheet_relationships.push_back(std::move(rels));
    wb.sheets.push_back(std::move(ws));
    return {};
}

// The shared formulas' budget of the workbook: in proportion to the bytes its worksheet parts take
// in the file. A size the directory declares is checked only when the part is read, so the sum is
// cut at the archive's own size: a sheet read early cannot spend what a lying entry claims.
SharedFormulaBudget shared_formula_budget(const zip::ArchiveReader& archive, const SheetList& sheets) {
    std::unordered_set<const zip::Entry*> counted;
    uint64_t stored = 0;
    for (const SheetRef& ref : sheets.sheets) {
        const auto entry = archive.find_part(ref.path);
        if (entry && *entry && counted.insert(*entry).second)
            stored = std::min(stored + std::min((*entry)->compressed_size, archive.size()), archive.size());
    }
    return SharedFormulaBudget(SharedFormulaBudget::limit_for(stored));
}

// The open sequence over an archive already opened, from a file or from memory.
Result<Workbook> load_package(const zip::ArchiveReader& archive, Workbook wb) {
    std::shared_ptr<const StyleSheet> styles;
    {
        auto part = read_required(archive, kStylesPart);
        if (!part) return fail(part.error());
        auto parsed = parse_styles(*part);
        if (!parsed) return fail(in_part(kStylesPart, parsed.error()));
        styles = std::make_shared<const StyleSheet>(std::move(*parsed));
    }

    SharedStrings shared_strings;
    {
        auto part = read_optional(archive, kSharedStringsPart);
        if (!part) return fail(part.error());
        if (*part) {
            auto parsed = parse_shared_strings(**part);
            if (!parsed) return fail(in_part(kSharedStringsPart, parsed.error()));
            shared_strings = std::move(*parsed);
        }
    }

    auto workbook_part = read_required(archive, kWorkbookPart);
    if (!workbook_part) return fail(workbook_part.error());
    SheetList sheets;
    {
        auto rels_part = read_required(archive, kWorkbookRelsPart);
        if (!rels_part) return fail(rels_part.error());
        auto parsed = parse_sheet_refs(*workbook_part, *rels_part);
        if (!parsed) return fail(parsed.error());
        sheets = std::move(*parsed);
    }
    wb.active_index = sheets.active_tab;
    wb.workbook_relationships = std::move(sheets.relationships);
    {
        auto elements = parse_workbook_elements(*workbook_part);
        if (!elements) return fail(in_part(kWorkbookPart, elements.error()));
        wb.workbook_elements = std::move(elements->elements);
        wb.workbook_ignorable = std::move(elements->ignorable);
    }

    // The defined names of the workbook part are read here, once the sheet count is known.
    auto defined_names = parse_workbook_defined_names(*workbook_part, sheets.sheets.size());
    if (!defined_names) return fail(in_part(kWorkbookPart, defined_names.error()));

    const auto temporal_kinds = temporal_kinds_by_style(*styles);
    PartsRead parts_read;
    PivotsRead pivots_read;
    SharedFormulaBudget shared_formulas = shared_formula_budget(archive, sheets);
    PartsRead maps_read;
    const LoadContext ctx{archive,     shared_strings, styles,           temporal_kinds, sheets.date1904,
                          &parts_read, &pivots_read,   &shared_formulas, &maps_read};
    wb.sheets.reserve(sheets.sheets.size());
    wb.sheet_relationships.reserve(sheets.sheets.size());
    for (const SheetRef& ref : sheets.sheets) {
        if (auto r = load_sheet(ctx, ref, wb); !r) return fail(r.error());
    }
    hold_shared_maps(wb, parts_read);

    // Print areas, print titles and sheet-scope names from the defined names are applied here.
    apply_defined_names(wb, std::move(*defined_names));

    wb.stylesheet = std::move(styles);
    return wb;
}

// What a save needs to know of the source file besides the model: its directory as it is now,
// which entries no relationship reaches, and its content types as stored. Content types a save
// could not patch (none at all, damaged, or no UTF-8 document with a Types root) fail the load,
// which names them.
Result<void> note_source(const zip::ArchiveReader& archive, Workbook& wb) {
    PackageRels rels(archive);
    const zip::PartNameSet reached = reachable_parts([&](std::string_view name) { return rels.get(name); });
    wb.source_entries.reserve(archive.entries().size());
    for (const zip::Entry& e : archive.entries())
        wb.source_entries.push_back({e.name, e.crc32, e.uncompressed_size, !entry_reached(reached, e.name)});
    const auto types = archive.find_part(kContentTypesPart);
    if (!types) return fail(std::move(types.error()));
    if (!*types) return fail(VelmoError::zip(std::string(kContentTypesPart) + " is missing"));
    auto stored = archive.read_raw(**types);
    if (!stored) return fail(std::move(stored.error()));
    StoredPart kept{(*types)->name, (*types)->method, (*types)->crc32, (*types)->uncompressed_size, std::move(*stored)};
    auto text = zip::inflate_stored(**types, kept.stored);
    if (!text) return fail(std::move(text.error()));
    if (auto read = read_content_types(*text); !read) return fail(std::move(read.error()));
    wb.source_content_types = std::move(kept);
    return {};
}

}  // namespace

Result<Workbook> open_workbook(std::string_view path) {
    Workbook wb;
    wb.source_path = absolute_path(path);
    auto archive = zip::ArchiveReader::open(*wb.source_path);
    if (!archive) return fail(archive.error());
    if (auto noted = note_source(*archive, wb); !noted) return fail(std::move(noted.error()));
    return load_package(*archive, std::move(wb));
}

Result<Workbook> open_workbook_memory(std::string bytes) {
    auto archive = zip::ArchiveReader::open_memory(std::move(bytes));
    if (!archive) return fail(archive.error());
    return load_package(*archive, Workbook{});
}

}  // namespace velmo::reader
