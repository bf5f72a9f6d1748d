#include "writer/sheet_part.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "model/coords.hpp"
#include "model/number_text.hpp"
#include "model/quoted.hpp"
#include "model/temporal.hpp"
#include "reader/carried_elements.hpp"
#include "reader/ignorable.hpp"
#include "reader/kept_namespaces.hpp"
#include "writer/carried_merge.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/number_format.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

std::string cell_label(std::string_view sheet, uint32_t row, uint32_t col) {
    std::string s = sheet_label(sheet) + " cell ";
    coords::append_a1(s, row, col);
    return s;
}

// A width or height for the part: finite and not negative, on a line inside the grid.
struct Dimension {
    uint32_t index;
    double size;
};

Result<std::vector<Dimension>> sorted_dimensions(const std::unordered_map<uint32_t, double>& sizes, std::string_view sheet,
                                                 bool rows) {
    std::vector<Dimension> out;
    out.reserve(sizes.size());
    for (const auto& [index, size] : sizes) out.push_back({index, size});
    std::sort(out.begin(), out.end(), [](const Dimension& a, const Dimension& b) { return a.index < b.index; });
    const char* line = rows ? "row" : "column";
    const char* what = rows ? "height" : "width";
    const uint32_t limit = rows ? kMaxRow : kMaxCol;
    for (const Dimension& d : out) {
        if (d.index == 0 || d.index > limit)
            return fail(VelmoError::invalid_format(sheet_label(sheet) + ": a " + what + " is set for " + line + " " +
                                                   std::to_string(d.index) + ", outside the grid (1.." +
                                                   std::to_string(limit) + ")"));
        if (!std::isfinite(d.size) || d.size < 0)
            return fail(VelmoError::invalid_format(sheet_label(sheet) + ": " + line + " " + std::to_string(d.index) + " " +
                                                   what + " " + xml::format_f64(d.size) +
                                                   " is not a finite, non-negative number"));
    }
    return out;
}

// The reference of a block of `rows` by `cols` cells from the cell `oc`, cut at the grid's edge (an
// edit may have pushed it past): the cell alone, or the range from it. Kept out of the cell path.
[[gnu::noinline]] void append_block_ref(std::string& out, const OrderedCell& oc, uint32_t rows, uint32_t cols) {
    coords::append_a1(out, oc.row(), oc.col());
    const uint32_t last_row = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{oc.row()} + std::max(rows, 1u) - 1, kMaxRow));
    const uint32_t last_col = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{oc.col()} + std::max(cols, 1u) - 1, kMaxCol));
    if (last_row > oc.row() || last_col > oc.col()) {
        out += ':';
        coords::append_a1(out, last_row, last_col);
    }
}

// "<f>", or for an array formula "<f t="array" ref="...">" with the block it fills.
void append_formula_start(std::string& out, const OrderedCell& oc, const ArraySpan* array) {
    if (!array) {
        out += "<f>";
        return;
    }
    out += "<f t=\"array\" ref=\"";
    append_block_ref(out, oc, array->rows, array->cols);
    out += "\">";
}

// A cell element, `<c r="B2" s="3"><v>7</v></c>` or as much of it as is short, put together on the
// stack and appended in one piece: this runs for every cell of the part. The row's digits are
// written once per row.
class CellHead {
public:
    CellHead(std::string_view row_digits, uint32_t col, uint64_t style, const KeptValue* kept) : kept_(kept) {
        add("<c r=\"");
        end_ = coords::write_column_name(end_, col);
        add(row_digits);
        add("\" s=\"");
        add(style);
        add("\"");
    }
    // The type attribute (" t=\"s\"", empty for none), then the cell's and its value's entries in
    // the workbook's metadata, as the source gave them: the last attributes of the start tag.
    [[gnu::always_inline]] void type(std::string_view t) {
        add(t);
        if (kept_ && (kept_->cell_meta || kept_->value_meta)) [[unlikely]] add_meta();
    }
    void add(std::string_view text) {
        std::memcpy(end_, text.data(), text.size());
        end_ += text.size();
    }
    void add(uint64_t n) { end_ = std::to_chars(end_, buf_ + sizeof buf_, n).ptr; }
    // The number's text when it is short; false, with nothing added, otherwise.
    bool add_short_number(double v) {
        char* const end = write_short_number_text(end_, v);
        if (!end) return false;
        end_ = end;
        return true;
    }
    void append_to(std::string& out) const { out.append(buf_, static_cast<size_t>(end_ - buf_)); }

private:
    [[gnu::noinline]] void add_meta() {
        if (kept_->cell_meta) {
            add(" cm=\"");
            add(uint64_t{*kept_->cell_meta});
            add("\"");
        }
        if (kept_->value_meta) {
            add(" vm=\"");
            add(uint64_t{*kept_->value_meta});
            add("\"");
        }
    }

    const KeptValue* kept_;
    // The reference, a style, two metadata indexes, a shared-string index or a short number, and the
    // longest texts around them.
    char buf_[coords::kMaxA1Size + 20 + 2 * 16 + kMaxShortNumberText + 40];
    char* end_ = buf_;
};

class SheetWriter {
public:
    SheetWriter(const Worksheet& ws, size_t sheet_index, const SheetCellOrder& order, const SharedStringTable& strings,
                const CollectedStyles& styles, const SheetPartRelIds& rel_ids, bool active)
        : ws_(ws), sheet_(sheet_index), order_(order), strings_(strings), styles_(styles), rels_(rel_ids),
          active_(active), w_(1024 + order.size() * 48) {
        for (size_t i = 0; i < ws.carried.size(); ++i)
            if (i >= rels_.carried_written.size() || rels_.carried_written[i]) carried_.push_back(&ws.carried[i]);
        std::stable_sort(carried_.begin(), carried_.end(),
                         [](const CarriedElement* a, const CarriedElement* b) { return a->place < b->place; });
    }

    Result<std::string> write() {
        // Validate the sheet-level records before building anything big.
        auto widths = sorted_dimensions(ws_.column_widths, ws_.name, false);
        if (!widths) return fail(std::move(widths.error()));
        auto heights = sorted_dimensions(ws_.row_heights, ws_.name, true);
        if (!heights) return fail(std::move(heights.error()));
        if (auto ok = check_sheet_texts(); !ok) return fail(std::move(ok.error()));
        if (auto ok = check_sheet_ranges(); !ok) return fail(std::move(ok.error()));

        w_.declaration();
        w_.open("worksheet").attr("xmlns", kMainNs);
        if (refers_to_relationships()) w_.attr("xmlns:r", kOfficeRelsNs);
        if (!ws_.ignorable.empty()) declare_ignorable(w_, used_ignorable());
        w_.close_start();
        carry_before(SheetChild::SheetViews);
        if (!carries(SheetChild::SheetViews)) write_frozen_pane();
        carry_before(SheetChild::SheetFormatPr);
        if (!carries(SheetChild::SheetFormatPr)) w_.raw(outline_format_xml(ws_));
        carry_before(SheetChild::Cols);
        write_cols(*widths);
        carry_before(SheetChild::SheetData);
        if (auto ok = write_sheet_data(*heights); !ok) return fail(std::move(ok.error()));
        carry_before(SheetChild::AutoFilter);
        // A filter set anew has no criteria; the loaded one is carried.
        if (ws_.auto_filter && !(carries(SheetChild::AutoFilter) && keeps_loaded_filter(ws_)))
            w_.empty("autoFilter", {{"ref", *ws_.auto_filter}});
        carry_before(SheetChild::MergeCells);
        write_merged_ranges();
        carry_before(SheetChild::ConditionalFormatting);
        write_conditional_formatting();
        carry_before(SheetChild::Hyperlinks);
        write_hyperlinks();
        carry_before(SheetChild::LegacyDrawing);
        if (rels_.legacy_drawing_id) w_.empty("legacyDrawing", {{"r:id", *rels_.legacy_drawing_id}});
        carry_before(SheetChild::TableParts);
        write_table_parts();
        carry_before(SheetChild::Other);
        w_.end("worksheet");
        return std::move(w_).finish();
    }

private:
    std::string label() const { return sheet_label(ws_.name); }

    Result<void> check(std::string_view text, std::string_view item) const {
        return check_xml_text(text, [&] { return label() + " " + std::string(item); });
    }

    Result<void> check_sheet_texts() const {
        if (ws_.freeze_panes)
            if (auto ok = check(*ws_.freeze_panes, "frozen pane"); !ok) return ok;
        if (ws_.auto_filter)
            if (auto ok = check(*ws_.auto_filter, "auto filter"); !ok) return ok;
        for (const std::string& range : ws_.merged_ranges)
            if (auto ok = check(range, "merged range"); !ok) return ok;
        for (const ConditionalFormatting& block : ws_.conditional_formatting) {
            const auto item = [&] { return "conditional formatting " + quoted(block.sqref); };
            if (auto ok = check(block.sqref, "conditional formatting range"); !ok) return ok;
            for (const ConditionalRule& rule : block.rules) {
                std::vector<std::string_view> texts{rule.rule_type, rule.extra_children_xml};
                if (rule.op) texts.push_back(*rule.op);
                for (const std::string& f : rule.formulas) texts.push_back(f);
                for (const auto& [name, value] : rule.extra_attributes) {
                    texts.push_back(name);
                    texts.push_back(value);
                }
                for (std::string_view t : texts)
                    if (auto ok = check(t, item()); !ok) return ok;
            }
        }
        for (const HyperlinkRef& link : rels_.hyperlinks) {
            const std::string item = "hyperlink at " + link.cell_ref;
            const Hyperlink& h = *link.hyperlink;
            for (const auto* t : {&h.location, &h.tooltip, &h.display})
                if (*t)
                    if (auto ok = check(**t, item); !ok) return ok;
        }
        return {};
    }

    // Ranges that reach past the last row or column give a part applications refuse to open.
    // Texts that are not ranges at all are written as they are.
    Result<void> check_sheet_ranges() const {
        const auto beyond = [](std::string_view text) {
            const auto r = coords::parse_range(text);
            return r && (std::max(r->row1, r->row2) > kMaxRow || std::max(r->col1, r->col2) > kMaxCol);
        };
        const auto refuse = [&](std::string_view item, std::string_view text) {
            return fail(VelmoError::invalid_format(label() + ": " + std::string(item) + " " + quoted(text) +
                                                   " lies outside the grid (A1:XFD1048576)"));
        };
        if (ws_.freeze_panes) {
            const SortKey at = cell_sort_key(*ws_.freeze_panes);
            if (at.row > kMaxRow || at.col > kMaxCol) return refuse("frozen pane", *ws_.freeze_panes);
        }
        if (ws_.auto_filter && beyond(*ws_.auto_filter)) return refuse("auto filter", *ws_.auto_filter);
        for (const std::string& range : ws_.merged_ranges)
            if (beyond(range)) return refuse("merged range", range);
        for (const ConditionalFormatting& block : ws_.conditional_formatting) {
            std::string_view rest = block.sqref;
            while (!rest.empty()) {
                const size_t start = rest.find_first_not_of(" \t\r\n");
                if (start == std::string_view::npos) break;
                rest.remove_prefix(start);
                const std::string_view piece = rest.substr(0, rest.find_first_of(" \t\r\n"));
                if (beyond(piece)) return refuse("conditional formatting range", block.sqref);
                rest.remove_prefix(piece.size());
            }
        }
        return {};
    }

    // Carried elements count on the root for "r", as their source's root bound it.
    bool refers_to_relationships() const {
        if (rels_.legacy_drawing_id || !rels_.table_part_ids.empty() || !carried_.empty()) return true;
        return std::any_of(rels_.hyperlinks.begin(), rels_.hyperlinks.end(),
                           [](const HyperlinkRef& h) { return h.rel_id.has_value(); });
    }

    // The namespaces of the source's ignorable list that what the part carries of the source
    // uses (the carried elements it writes, what conditional formatting rules kept), in the list's
    // order: the root marks them ignorable again, as the source did, since an application that does
    // not know them would otherwise have to refuse the sheet.
    reader::NamespaceBindings used_ignorable() const {
        const reader::NamespaceBindings& listed = ws_.ignorable;
        std::vector<char> used(listed.size());
        const auto mark = [&](std::optional<size_t> i) {
            if (i && *i < used.size()) used[*i] = 1;
        };
        std::optional<reader::IgnorableLookup> lookup;
        for (const CarriedElement* e : carried_) {
            if (!writes_carried(*e, ws_) || e->ignorable.empty()) continue;
            if (e->kind == SheetChild::SheetViews && pane_changed(ws_)) {
                // The source's pane and the selections on it give way to the new pane's.
                std::string merged;
                append_carried(merged, *e, ws_, active_);
                if (!lookup) lookup.emplace(listed);
                for (const size_t i : reader::references(merged, reader::NamespaceScope{}, &*lookup).ignorable) mark(i);
                continue;
            }
            for (const size_t i : e->ignorable) mark(i);
        }
        for (const ConditionalFormatting& block : ws_.conditional_formatting) {
            for (const ConditionalRule& rule : block.rules) {
                if (rule.extra_attributes.empty() && rule.extra_children_xml.empty()) continue;
                if (!lookup) lookup.emplace(listed);
                // The rule's kept attributes hold the declarations of the prefixes they and its
                // kept children use.
                reader::NamespaceScope host;
                host.open();
                for (const auto& [name, value] : rule.extra_attributes)
                    if (const auto p = reader::declared_prefix(name)) host.bind(*p, value);
                for (const auto& [name, value] : rule.extra_attributes) {
                    const std::string_view p = xml::prefix_of(name);
                    if (!p.empty() && p != "xmlns") mark(lookup->find(host.uri_of(p)));
                }
                if (!rule.extra_children_xml.empty())
                    for (const size_t i : reader::references(rule.extra_children_xml, host, &*lookup).ignorable) mark(i);
            }
        }
        reader::NamespaceBindings out;
        for (size_t i = 0; i < listed.size(); ++i)
            if (used[i]) out.push_back(listed[i]);
        return out;
    }

    bool carries(SheetChild kind) const {
        return std::any_of(carried_.begin(), carried_.end(), [&](const CarriedElement* e) { return e->kind == kind; });
    }

    // The carried elements whose place comes before `next`.
    void carry_before(SheetChild next) {
        for (; carried_at_ < carried_.size() && carried_[carried_at_]->place < next; ++carried_at_)
            append_carried(w_.buffer(), *carried_[carried_at_], ws_, active_);
    }

    void write_frozen_pane() {
        if (!ws_.freeze_panes) return;
        const std::string pane = frozen_pane_xml(*ws_.freeze_panes);
        if (pane.empty()) return;
        w_.start("sheetViews");
        w_.start("sheetView", {{"workbookViewId", "0"}});
        w_.raw(pane);
        w_.end("sheetView");
        w_.end("sheetViews");
    }

    void write_cols(const std::vector<Dimension>& widths) {
        // Columns with a width, a format or both, in order.
        const std::vector<FormattedLine> formatted = formatted_lines(ws_.column_formats, kMaxCol);
        if (widths.empty() && formatted.empty()) return;
        w_.start("cols");
        size_t i = 0, j = 0;
        while (i < widths.size() || j < formatted.size()) {
            uint32_t col = UINT32_MAX;
            if (i < widths.size()) col = widths[i].index;
            if (j < formatted.size()) col = std::min(col, formatted[j].index);
            w_.open("col").attr("min", col).attr("max", col);
            if (i < widths.size() && widths[i].index == col) {
                w_.attr("width", widths[i].size).attr("customWidth", "1");
                ++i;
            }
            if (j < formatted.size() && formatted[j].index == col) append_line_format(w_.buffer(), *formatted[j++].format, false);
            w_.close_empty();
        }
        w_.end("cols");
    }

    Result<void> write_sheet_data(const std::vector<Dimension>& heights) {
        std::string& out = w_.buffer();
        out += "<sheetData>";
        const size_t n = order_.size();
        const std::vector<FormattedLine> formatted = formatted_lines(ws_.row_formats, kMaxRow);
        size_t i = 0, h = 0, f = 0;
        const auto skip_unwritten = [&] {
            while (i < n && !is_written_cell(*order_[i].cell)) ++i;
        };
        skip_unwritten();
        while (i < n || h < heights.size() || f < formatted.size()) {
            uint32_t row = UINT32_MAX;
            if (i < n) row = order_[i].row();
            if (h < heights.size()) row = std::min(row, heights[h].index);
            if (f < formatted.size()) row = std::min(row, formatted[f].index);
            row_digits_ = std::string_view(row_text_, std::to_chars(row_text_, row_text_ + sizeof row_text_, row).ptr);
            out += "<row r=\"";
            out += row_digits_;
            out += '"';
            if (h < heights.size() && heights[h].index == row) {
                out += " ht=\"";
                xml::append_f64(out, heights[h].size);
                out += "\" customHeight=\"1\"";
                ++h;
            }
            if (f < formatted.size() && formatted[f].index == row) append_line_format(out, *formatted[f++].format, true);
            out += '>';
            while (i < n && order_[i].row() == row) {
                if (auto ok = write_cell(i); !ok) return ok;
                ++i;
                skip_unwritten();
            }
            out += "</row>";
        }
        out += "</sheetData>";
        return {};
    }

    Result<void> write_cell(size_t pos) {
        const OrderedCell& oc = order_[pos];
        const Cell& cell = *oc.cell;
        const KeptValue* kept = cell.kept();
        std::string& out = w_.buffer();
        CellHead head(row_digits_, oc.col(), styles_.cell_style(sheet_, pos, cell), kept);
        switch (kind_of(cell.value)) {
        case ValueKind::Empty:
            if (kept && !kept->error.empty()) [[unlikely]] {
                head.type(" t=\"e\"");
                head.add("><v>");
                head.append_to(out);
                xml::append_escaped_text(out, kept->error);
                break;
            }
            // A blank cell with a style of its own keeps its formatting.
            head.type("");
            head.add("/>");
            head.append_to(out);
            return {};
        case ValueKind::String: {
            const auto index = strings_.find_cell(cell);
            if (!index) return fail(VelmoError::xml(cell_label(ws_.name, oc.row(), oc.col()) + ": text missing from the shared strings"));
            head.type(" t=\"s\"");
            head.add("><v>");
            head.add(uint64_t{*index});
            head.add("</v></c>");
            head.append_to(out);
            return {};
        }
        case ValueKind::Number: {
            const double v = std::get<double>(cell.value);
            if (!std::isfinite(v))
                return fail(VelmoError::invalid_format(cell_label(ws_.name, oc.row(), oc.col()) + ": the number " +
                                                       xml::format_f64(v) + " cannot be stored in a workbook"));
            head.type("");
            head.add("><v>");
            if (head.add_short_number(v)) {
                head.add("</v></c>");
                head.append_to(out);
                return {};
            }
            head.append_to(out);
            xml::append_f64(out, v);
            break;
        }
        case ValueKind::Bool:
            head.type(" t=\"b\"");
            head.add(std::get<bool>(cell.value) ? "><v>1</v></c>" : "><v>0</v></c>");
            head.append_to(out);
            return {};
        case ValueKind::Formula: {
            const std::string& f = std::get<Formula>(cell.value).text;
            if (auto ok = check_xml_text(f, [&] { return cell_label(ws_.name, oc.row(), oc.col()); }); !ok) return ok;
            head.type("");
            head.add(">");
            head.append_to(out);
            append_formula_start(out, oc, cell.array());
            xml::append_escaped_text(out, f);
            out += "</f></c>";
            return {};
        }
        default: {
            auto serial = temporal::to_excel_serial(cell.value);
            if (!serial) return fail(std::move(serial.error()));
            head.type("");
            head.add("><v>");
            head.append_to(out);
            xml::append_f64(out, *serial);
            break;
        }
        }
        out += "</v></c>";
        return {};
    }

    void write_merged_ranges() {
        if (ws_.merged_ranges.empty()) return;
        w_.open("mergeCells").attr("count", ws_.merged_ranges.size()).close_start();
        for (const std::string& range : ws_.merged_ranges) w_.empty("mergeCell", {{"ref", range}});
        w_.end("mergeCells");
    }

    void write_conditional_formatting() {
        const auto& blocks = ws_.conditional_formatting;
        for (size_t b = 0; b < blocks.size(); ++b) {
            w_.start("conditionalFormatting", {{"sqref", blocks[b].sqref}});
            for (size_t r = 0; r < blocks[b].rules.size(); ++r) {
                const ConditionalRule& rule = blocks[b].rules[r];
                w_.open("cfRule").attr("type", rule.rule_type);
                if (rule.priority) w_.attr("priority", *rule.priority);
                else w_.attr("priority", "1");
                if (rule.op) w_.attr("operator", *rule.op);
                if (auto dxf = styles_.rule_dxf_id(sheet_, b, r)) w_.attr("dxfId", *dxf);
                if (rule.stop_if_true) w_.attr("stopIfTrue", "1");
                for (const auto& [name, value] : rule.extra_attributes) w_.attr(name, value);
                w_.close_start();
                for (const std::string& f : rule.formulas) {
                    w_.start("formula");
                    w_.text(f);
                    w_.end("formula");
                }
                w_.raw(rule.extra_children_xml);
                w_.end("cfRule");
            }
            w_.end("conditionalFormatting");
        }
    }

    void write_hyperlinks() {
        if (rels_.hyperlinks.empty()) return;
        w_.start("hyperlinks");
        for (const HyperlinkRef& link : rels_.hyperlinks) {
            const Hyperlink& h = *link.hyperlink;
            w_.open("hyperlink").attr("ref", link.cell_ref);
            if (link.rel_id) w_.attr("r:id", *link.rel_id);
            if (h.location) w_.attr("location", *h.location);
            if (h.tooltip) w_.attr("tooltip", *h.tooltip);
            if (h.display) w_.attr("display", *h.display);
            w_.close_empty();
        }
        w_.end("hyperlinks");
    }

    void write_table_parts() {
        if (rels_.table_part_ids.empty()) return;
        w_.open("tableParts").attr("count", rels_.table_part_ids.size()).close_start();
        for (const std::string& id : rels_.table_part_ids) w_.empty("tablePart", {{"r:id", id}});
        w_.end("tableParts");
    }

    const Worksheet& ws_;
    const size_t sheet_;
    const SheetCellOrder& order_;
    const SharedStringTable& strings_;
    const CollectedStyles& styles_;
    const SheetPartRelIds& rels_;
    const bool active_;
    std::vector<const CarriedElement*> carried_;  // the ones written, by place
    size_t carried_at_ = 0;
    // The digits of the row being written.
    char row_text_[10];
    std::string_view row_digits_;
    xml::XmlWriter w_;
};

}  // namespace

std::vector<HyperlinkRef> sheet_hyperlinks(const SheetCellOrder& order) {
    std::vector<HyperlinkRef> links;
    if (!order.has_extras) return links;
    for (const OrderedCell& oc : order) {
        const Hyperlink* h = oc.cell->hyperlink();
        if (!h || (h->target.empty() && !h->location)) continue;
        HyperlinkRef ref;
        append_block_ref(ref.cell_ref, oc, h->rows, h->cols);
        ref.hyperlink = h;
        links.push_back(std::move(ref));
    }
    return links;
}

std::vector<std::string> hyperlink_targets(const std::vector<HyperlinkRef>& links) {
    std::vector<std::string> targets;
    for (const HyperlinkRef& link : links)
        if (!link.hyperlink->target.empty()) targets.push_back(link.hyperlink->target);
    return targets;
}

void assign_hyperlink_rel_ids(std::vector<HyperlinkRef>& links, const std::vector<SheetRelEntry>& rels) {
    auto rel = rels.begin();
    const auto next_hyperlink_rel = [&] {
        while (rel != rels.end() && rel->rel_type != kHyperlinkRelType) ++rel;
    };
    next_hyperlink_rel();
    for (HyperlinkRef& link : links) {
        link.rel_id.reset();
        if (link.hyperlink->target.empty()) continue;
        if (rel == rels.end()) continue;
        link.rel_id = rel->id;
        ++rel;
        next_hyperlink_rel();
    }
}

Result<std::string> write_sheet_xml(const Worksheet& ws, size_t sheet_index, const SheetCellOrder& order,
                                    const SharedStringTable& strings, const CollectedStyles& styles,
                                    const SheetPartRelIds& rel_ids, bool active) {
    return SheetWriter(ws, sheet_index, order, strings, styles, rel_ids, active).write();
}

}  // namespace velmo::writer
