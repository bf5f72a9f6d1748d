#include "writer/legacy_drawing_part.hpp"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "reader/sheet_rels.hpp"
#include "zip/archive_reader.hpp"
#include "zip/archive_writer.hpp"
#include "zip/format.hpp"
#include "xml/number_format.hpp"
#include "xml/tokenizer.hpp"
#include "xml/white_space.hpp"

namespace velmo::writer {

namespace {

// The standard drawing is a fixed text with only the shape numbers and anchors filled in.
constexpr std::string_view kVmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
constexpr std::string_view kVmlRoot =
    "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\"\n"
    "     xmlns:o=\"urn:schemas-microsoft-com:office:office\"\n"
    "     xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n";
constexpr std::string_view kShapeLayout =
    "<o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout>";
constexpr std::string_view kNoteTypeId = "_x0000_t202";
constexpr std::string_view kNoteType =
    "<v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" path=\"m,l,21600r21600,l21600,xe\">\n"
    "    <v:stroke joinstyle=\"miter\"/>\n"
    "    <v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/>\n"
    "  </v:shapetype>";
constexpr std::string_view kVmlTail = "\n</xml>";

constexpr std::string_view kShapeIdPrefix = "_x0000_s";
constexpr std::string_view kShapeOpen = "<v:shape id=\"_x0000_s";
constexpr std::string_view kShapeBody =
    "\" type=\"#_x0000_t202\" "
    "style=\"position:absolute;margin-left:80pt;margin-top:5pt;width:104pt;height:64pt;z-index:1;visibility:hidden\" "
    "fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
    "<v:fill color2=\"#ffffe1\"/>"
    "<v:shadow on=\"t\" color=\"black\" obscured=\"t\"/>"
    "<v:path o:connecttype=\"none\"/>"
    "<v:textbox style=\"mso-direction-alt:auto\"><div style=\"text-align:left\"></div></v:textbox>"
    "<x:ClientData ObjectType=\"Note\">"
    "<x:MoveWithCells/>"
    "<x:SizeWithCells/>"
    "<x:Anchor>1, 15, 0, 2, 3, 15, 4, 4</x:Anchor>"
    "<x:AutoFill>False</x:AutoFill>"
    "<x:Row>";
constexpr std::string_view kShapeColumn = "</x:Row><x:Column>";
constexpr std::string_view kShapeClose = "</x:Column></x:ClientData></v:shape>";

// The prefixes the standard parts use, declared on a kept root that lacks them.
constexpr std::pair<std::string_view, std::string_view> kVmlNamespaces[] = {
    {"xmlns:v", "urn:schemas-microsoft-com:vml"},
    {"xmlns:o", "urn:schemas-microsoft-com:office:office"},
    {"xmlns:x", "urn:schemas-microsoft-com:office:excel"},
};

// One comment of the sheet, in cell order.
struct NoteCell {
    uint32_t row = 0;  // 1-based
    uint32_t col = 0;
    const Comment* comment = nullptr;
};

std::vector<NoteCell> note_cells(const SheetCellOrder& order) {
    std::vector<NoteCell> out;
    for (const OrderedCell& oc : order)
        if (const Comment* c = oc.cell->comment()) out.push_back({oc.row(), oc.col(), c});
    return out;
}

void append_standard_note(std::string& out, uint64_t id, const NoteCell& sc) {
    out += kShapeOpen;
    xml::append_u64(out, id);
    out += kShapeBody;
    xml::append_u64(out, sc.row ? sc.row - 1 : 0);
    out += kShapeColumn;
    xml::append_u64(out, sc.col ? sc.col - 1 : 0);
    out += kShapeClose;
}

std::string_view span_text(std::string_view xml, const reader::TextSpan& s) { return xml.substr(s.begin, s.end - s.begin); }

std::string_view without_hash(std::string_view type) { return type.starts_with('#') ? type.substr(1) : type; }

// The number of a shape id of the form "_x0000_s{n}".
std::optional<uint64_t> shape_number(std::string_view id) {
    if (!id.starts_with(kShapeIdPrefix) || id.size() == kShapeIdPrefix.size() || id.size() > kShapeIdPrefix.size() + 18)
        return std::nullopt;
    uint64_t n = 0;
    for (const char c : id.substr(kShapeIdPrefix.size())) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    return n;
}

// Shape ids of one drawing. The kept shapes hold theirs, in order of precedence; one that repeats
// an earlier one is given a fresh number, as is every new shape: numbered from a base upward past
// every number held.
class ShapeIds {
public:
    explicit ShapeIds(uint64_t base) : next_(base) {}

    void hold(std::string_view id) { held_.push_back(id); }

    // After the last hold: per held id, in order, whether an earlier one holds it already. Ids of
    // the numbered form are compared by number, so that no two shapes share one.
    std::vector<bool> repeats() {
        struct Held {
            std::optional<uint64_t> number;
            std::string_view text;  // compared when not numbered
            size_t order;
            auto key() const { return std::tuple(!number, number.value_or(0), number ? std::string_view{} : text, order); }
        };
        std::vector<Held> sorted;
        sorted.reserve(held_.size());
        for (size_t i = 0; i < held_.size(); ++i) sorted.push_back({shape_number(held_[i]), held_[i], i});
        std::sort(sorted.begin(), sorted.end(), [](const Held& a, const Held& b) { return a.key() < b.key(); });
        std::vector<bool> out(held_.size(), false);
        for (size_t i = 0; i < sorted.size(); ++i) {
            const Held& h = sorted[i];
            const bool same = i > 0 && (h.number ? sorted[i - 1].number == h.number : !sorted[i - 1].number && sorted[i - 1].text == h.text);
            if (same) out[h.order] = true;
            else if (h.number) numbers_.push_back(*h.number);
        }
        return out;  // numbers_ is sorted: the numbered ids come first, in order
    }

    uint64_t fresh() {
        while (std::binary_search(numbers_.begin(), numbers_.end(), next_)) ++next_;
        return next_++;
    }

private:
    uint64_t next_;
    std::vector<std::string_view> held_;
    std::vector<uint64_t> numbers_;  // sorted
};

// The kept root's start tag, with the namespaces of the standard parts declared.
void append_head(std::string& out, std::string_view head) {
    const size_t close = head.size() - 1;  // the root start tag's ">"
    out.append(head.substr(0, close));
    for (const auto& [attr, uri] : kVmlNamespaces) {
        if (head.find(std::string(attr) + "=") != std::string_view::npos) continue;
        ((out += ' ') += attr) += "=\"";
        (out += uri) += '"';
    }
    out.append(head.substr(close));
}

// One loaded note: its source shape with the parts that follow its cell rewritten.
void append_kept_note(std::string& out, const reader::DrawingNote& note, const NoteCell& sc,
                      std::optional<uint64_t> new_id, const std::vector<CellEdit>& edits) {
    std::optional<NoteAnchor> box = note.anchor;
    if (box && note.anchor_text) {
        coords::CellPos cell = *sc.comment->loaded_at;
        for (const CellEdit& e : edits)
            if (!follow_edit(e, cell, box)) break;
    }
    // At most four pieces are replaced, each written straight into `out`.
    enum class Piece : uint8_t { Id, Anchor, Row, Column };
    std::pair<reader::TextSpan, Piece> pieces[4];
    size_t count = 0;
    if (new_id && note.id) pieces[count++] = {*note.id, Piece::Id};
    if (box != note.anchor) pieces[count++] = {*note.anchor_text, Piece::Anchor};
    if (sc.row - 1 != note.row) pieces[count++] = {note.row_text, Piece::Row};
    if (sc.col - 1 != note.col) pieces[count++] = {note.col_text, Piece::Column};
    std::sort(pieces, pieces + count, [](const auto& a, const auto& b) { return a.first.begin < b.first.begin; });
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const auto& [span, piece] = pieces[i];
        out.append(note.xml.substr(at, span.begin - at));
        switch (piece) {
        case Piece::Id:
            out += kShapeIdPrefix;
            xml::append_u64(out, *new_id);
            break;
        case Piece::Anchor:
            for (size_t k = 0; k < box->size(); ++k) {
                if (k) out += ", ";
                xml::append_u64(out, (*box)[k]);
            }
            break;
        case Piece::Row: xml::append_u64(out, sc.row - 1); break;
        case Piece::Column: xml::append_u64(out, sc.col - 1); break;
        }
        at = span.end;
    }
    out.append(note.xml.substr(at));
}

std::string write_kept_drawing(const std::vector<NoteCell>& comments, const KeptDrawing& kept,
                               const std::vector<CellEdit>& edits) {
    const reader::LegacyDrawing& d = *kept.drawing;

    // The loaded note each comment writes: the first of its cell's, at the cell it was read on.
    std::vector<std::pair<uint64_t, size_t>> note_at;  // (row << 32 | column, index), zero-based
    note_at.reserve(d.notes.size());
    for (size_t i = 0; i < d.notes.size(); ++i) note_at.emplace_back(uint64_t{d.notes[i].row} << 32 | d.notes[i].col, i);
    std::sort(note_at.begin(), note_at.end());
    std::vector<bool> taken(d.notes.size(), false);
    std::vector<const reader::DrawingNote*> chosen(comments.size(), nullptr);
    for (size_t k = 0; k < comments.size(); ++k) {
        const auto& at = comments[k].comment->loaded_at;
        if (!at || at->row == 0 || at->col == 0) continue;
        const uint64_t key = uint64_t{at->row - 1} << 32 | (at->col - 1);
        const auto found = std::lower_bound(note_at.begin(), note_at.end(), std::pair<uint64_t, size_t>{key, 0});
        if (found == note_at.end() || found->first != key || taken[found->second]) continue;
        taken[found->second] = true;  // one note box per comment
        chosen[k] = &d.notes[found->second];
    }

    // Ids: the kept shapes keep theirs (form controls are linked to them by number); a note whose
    // id another shape already holds, and every new note, takes a fresh one.
    ShapeIds ids(uint64_t{d.first_id_block} * 1024);
    size_t shape_ids = 0;
    for (const reader::DrawingShape& s : d.shapes)
        for (std::string_view id : s.ids) ids.hold(id), ++shape_ids;
    std::vector<size_t> held_note;  // per comment, its note's place among the held ids, or none
    held_note.reserve(comments.size());
    size_t held = shape_ids;
    for (size_t k = 0; k < comments.size(); ++k) {
        if (chosen[k] && chosen[k]->id) {
            ids.hold(span_text(chosen[k]->xml, *chosen[k]->id));
            held_note.push_back(held++);
        } else {
            held_note.push_back(SIZE_MAX);
        }
    }
    const std::vector<bool> repeated = ids.repeats();

    // The shape types the written shapes use; the notes nearly always share one.
    std::unordered_set<std::string_view> types;
    for (const reader::DrawingShape& s : d.shapes)
        for (std::string_view t : s.types) types.insert(without_hash(t));
    std::string_view last_type;
    for (size_t k = 0; k < comments.size(); ++k) {
        const std::string_view type = chosen[k] ? without_hash(chosen[k]->type) : kNoteTypeId;
        if (k == 0 || type != last_type) types.insert(type);
        last_type = type;
    }

    const size_t standard = static_cast<size_t>(std::count(chosen.begin(), chosen.end(), nullptr));
    std::string out;
    out.reserve(kept.text.size() + kNoteType.size() + kShapeLayout.size() + standard * 700 + comments.size() * 32);
    append_head(out, d.head);
    out += '\n';
    out += d.shape_layout.empty() ? kShapeLayout : d.shape_layout;
    std::unordered_set<std::string_view> written_types;
    for (const reader::DrawingShapeType& t : d.shape_types) {
        if (!types.contains(t.id) || !written_types.insert(t.id).second) continue;
        out += '\n';
        out += t.xml;
    }
    if (types.contains(kNoteTypeId) && !written_types.contains(kNoteTypeId)) (out += '\n') += kNoteType;
    for (const reader::DrawingShape& s : d.shapes) (out += '\n') += s.xml;
    out += '\n';
    for (size_t k = 0; k < comments.size(); ++k) {
        if (chosen[k])
            append_kept_note(out, *chosen[k], comments[k],
                             held_note[k] != SIZE_MAX && repeated[held_note[k]] ? std::optional(ids.fresh()) : std::nullopt,
                             edits);
        else
            append_standard_note(out, ids.fresh(), comments[k]);
    }
    ((out += "\n</") += d.root_name) += '>';
    return out;
}

}  // namespace

std::unique_ptr<KeptDrawing> read_kept_drawing(const SourceDrawing& source, bool as_is) {
    auto kept = std::make_unique<KeptDrawing>();
    if (as_is) return kept;
    auto text = zip::inflate_stored(stored_drawing_entry(source, source.part), source.stored);
    if (!text) return nullptr;
    kept->text = std::move(*text);
    kept->drawing = reader::parse_legacy_drawing(kept->text);
    if (!kept->drawing) return nullptr;
    return kept;
}

zip::Entry stored_drawing_entry(const SourceDrawing& source, std::string_view part) {
    return zip::kept_entry(part, source.method, source.crc32, source.size, source.stored.size());
}

bool drawing_as_loaded(const Worksheet& ws, const SheetCellOrder& order) {
    if (!ws.legacy_drawing || !ws.legacy_drawing->edits.empty()) return false;
    size_t count = 0;
    for (const OrderedCell& oc : order) {
        const Comment* c = oc.cell->comment();
        if (!c) continue;
        if (!c->loaded_at || c->loaded_at->row != oc.row() || c->loaded_at->col != oc.col()) return false;
        ++count;
    }
    return count > 0 && count == ws.legacy_drawing->notes;
}

std::string write_vml_drawing(const SheetCellOrder& order, const KeptDrawing* kept, const std::vector<CellEdit>& edits) {
    const std::vector<NoteCell> comments = note_cells(order);
    if (kept && kept->drawing) return write_kept_drawing(comments, *kept, edits);
    std::string out;
    out.reserve(kVmlDeclaration.size() + kVmlRoot.size() + kShapeLayout.size() + kNoteType.size() + kVmlTail.size() +
                comments.size() * 700 + 16);
    (out += kVmlDeclaration) += kVmlRoot;
    ((out += "  ") += kShapeLayout) += '\n';
    ((out += "  ") += kNoteType) += "\n  ";
    uint64_t shape = 1024;
    for (const NoteCell& sc : comments) append_standard_note(out, shape++, sc);
    out += kVmlTail;
    return out;
}

std::vector<SheetRelEntry> kept_drawing_relationships(const SourceDrawing& source, std::string_view part) {
    std::vector<SheetRelEntry> out = source.relationships;
    reader::rebase_targets(out, source.part, part);
    return out;
}

std::vector<SheetRelEntry> named_relationships(std::vector<SheetRelEntry> rels, std::string_view vml) {
    if (rels.empty()) return rels;
    // Every quoted value after an "=": attribute values, and the odd text that looks like one
    // (which only keeps a relationship that could have gone). A plain scan, as legacy drawings
    // are often not well-formed XML.
    std::unordered_set<std::string> values;
    std::string scratch;
    for (size_t i = vml.find('='); i != std::string_view::npos; i = vml.find('=', i + 1)) {
        size_t at = i + 1;
        while (at < vml.size() && xml::is_space(vml[at])) ++at;
        if (at >= vml.size() || (vml[at] != '"' && vml[at] != '\'')) continue;
        const size_t close = vml.find(vml[at], at + 1);
        if (close == std::string_view::npos) break;
        const std::string_view raw = vml.substr(at + 1, close - at - 1);
        const auto value = xml::decode(raw, scratch);
        values.emplace(value ? *value : raw);
        i = close;
    }
    std::erase_if(rels, [&](const SheetRelEntry& e) { return !values.contains(e.id); });
    return rels;
}

}  // namespace velmo::writer
