#include "writer/carried_merge.hpp"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "xml/number_parse.hpp"
#include "xml/number_format.hpp"
#include "xml/tokenizer.hpp"
#include "writer/cell_order.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

// The decoded value of the first attribute `name` of a tag, or none.
std::optional<std::string> attr_of(const xml::Event& tag, std::string_view name) {
    auto v = xml::attr_string(tag, name);
    return v ? std::move(*v) : std::nullopt;
}

// `tag` (a start or self-closing tag) written again without the attributes named in `drop`, the
// others as the source wrote them, then `extra`.
std::string retag(const xml::Event& tag, std::initializer_list<std::string_view> drop, std::string_view extra,
                  bool empty) {
    std::string out = "<";
    out += tag.name;
    xml::AttrIter it(tag);
    xml::Attribute a;
    for (auto more = it.next(a); more && *more; more = it.next(a)) {
        if (std::find(drop.begin(), drop.end(), a.name) != drop.end()) continue;
        out += ' ';
        // From the name to the closing quote, which follows the value.
        out.append(a.name.data(), static_cast<size_t>(a.value.data() + a.value.size() + 1 - a.name.data()));
    }
    out += extra;
    out += empty ? "/>" : ">";
    return out;
}

}  // namespace

std::string frozen_pane_xml(std::string_view pane) {
    const SortKey at = cell_sort_key(pane);
    if (at.row < 1 || at.col < 1 || (at.row == 1 && at.col == 1)) return {};
    const bool split_cols = at.col > 1, split_rows = at.row > 1;
    const std::string_view active = split_cols && split_rows ? "bottomRight" : split_rows ? "bottomLeft" : "topRight";
    xml::XmlWriter w(256);
    w.open("pane").attr("topLeftCell", pane).attr("activePane", active).attr("state", "frozen");
    if (split_cols) w.attr("xSplit", at.col - 1);
    if (split_rows) w.attr("ySplit", at.row - 1);
    w.close_empty();
    if (split_cols && split_rows) {
        w.empty("selection", {{"pane", "topRight"}});
        w.empty("selection", {{"pane", "bottomLeft"}});
    }
    w.empty("selection", {{"pane", active}, {"activeCell", pane}, {"sqref", pane}});
    return std::move(w.buffer());
}

std::string merge_sheet_views(std::string_view views, bool selected, bool pane_changed, std::string_view pane) {
    xml::Tokenizer tok(views, xml::TokenizerOptions{.trim_text = false, .fragment = true});
    xml::Event ev;
    // The first view: a child of the root.
    while (tok.next(ev) && !(ev.is_tag() && ev.local_name == "sheetView" && tok.depth() <= 2)) {
    }
    if (!ev.is_tag()) return std::string(views);
    const xml::Event view = ev;
    const bool view_empty = view.kind == xml::EventKind::Empty;
    const bool was_selected = xml::parse_xml_bool(attr_of(view, "tabSelected").value_or(""));
    if (was_selected == selected && !pane_changed) return std::string(views);

    // Byte ranges of the view's children to leave out: its pane, and the selections of panes
    // other than the top-left one (which exists with or without a pane).
    std::vector<std::pair<size_t, size_t>> cut;
    const size_t view_end = view.offset + view.raw.size();  // just past the view's start tag
    if (!view_empty && pane_changed) {
        const size_t level = tok.depth();  // the view's
        size_t child_start = 0;
        bool cut_child = false;
        while (tok.next(ev)) {
            if (ev.kind == xml::EventKind::End && tok.depth() < level) break;  // the view's end tag
            const size_t depth = tok.depth() + (ev.kind == xml::EventKind::Empty ? 1 : 0);
            if (ev.is_tag() && depth == level + 1) {
                child_start = ev.offset;
                cut_child = ev.local_name == "pane";
                if (ev.local_name == "selection") {
                    const auto of = attr_of(ev, "pane");
                    cut_child = of && *of != "topLeft";
                }
                if (ev.kind == xml::EventKind::Empty && cut_child) cut.emplace_back(child_start, ev.offset + ev.raw.size());
            } else if (ev.kind == xml::EventKind::End && tok.depth() == level && cut_child) {
                cut.emplace_back(child_start, ev.offset + ev.raw.size());
                cut_child = false;
            }
        }
    }

    std::string extra = selected ? " tabSelected=\"1\"" : "";
    const std::string inserted = pane_changed ? std::string(pane) : std::string();
    // A pane set from Python counts from the first row and column: the view's scroll position goes,
    // or applications would freeze the rows and columns after it.
    const auto start_tag = [&](bool empty) {
        return pane_changed ? retag(view, {"tabSelected", "topLeftCell"}, extra, empty)
                            : retag(view, {"tabSelected"}, extra, empty);
    };
    std::string out;
    out.reserve(views.size() + extra.size() + inserted.size() + 32);
    out.append(views.substr(0, view.offset));
    if (view_empty && !inserted.empty()) {
        out += start_tag(false);
        out += inserted;
        out += "</";
        out += view.name;
        out += '>';
    } else {
        out += start_tag(view_empty);
        out += inserted;
    }
    size_t at = view_end;
    for (const auto& [begin, end] : cut) {
        out.append(views.substr(at, begin - at));
        at = end;
    }
    out.append(views.substr(at));
    return out;
}

std::string with_outline_levels(std::string_view format, uint8_t row_level, uint8_t col_level) {
    xml::Tokenizer tok(format, xml::TokenizerOptions{.trim_text = false, .fragment = true});
    xml::Event tag;
    if (!tok.next(tag) || !tag.is_tag()) return std::string(format);
    const auto level = [&](std::string_view name) {
        const auto v = attr_of(tag, name);
        return v ? xml::parse_u32(*v).value_or(0) : 0;
    };
    if (level("outlineLevelRow") == row_level && level("outlineLevelCol") == col_level) return std::string(format);
    std::string extra;
    for (const auto& [name, value] : {std::pair{"outlineLevelRow", row_level}, std::pair{"outlineLevelCol", col_level}}) {
        if (value == 0) continue;
        extra += ' ';
        extra += name;
        extra += "=\"";
        extra += static_cast<char>('0' + value);
        extra += '"';
    }
    const size_t tag_end = tag.offset + tag.raw.size();
    return std::string(format.substr(0, tag.offset)) +
           retag(tag, {"outlineLevelRow", "outlineLevelCol"}, extra, tag.kind == xml::EventKind::Empty) +
           std::string(format.substr(tag_end));
}

namespace {

uint8_t outline_level(const std::unordered_map<uint32_t, LineFormat>& formats) {
    uint8_t level = 0;
    for (const auto& [line, f] : formats) level = std::max(level, f.outline_level);
    return level;
}

}  // namespace

void append_carried(std::string& out, const CarriedElement& e, const Worksheet& ws, bool active) {
    if (e.kind == SheetChild::SheetViews) {
        out += merge_sheet_views(e.xml, active, pane_changed(ws), ws.freeze_panes ? frozen_pane_xml(*ws.freeze_panes) : "");
    } else if (e.kind == SheetChild::SheetFormatPr) {
        out += with_outline_levels(e.xml, outline_level(ws.row_formats), outline_level(ws.column_formats));
    } else if (writes_carried(e, ws)) {
        out += e.xml;
    }
}

bool writes_carried(const CarriedElement& e, const Worksheet& ws) {
    return e.kind != SheetChild::AutoFilter || keeps_loaded_filter(ws);
}

bool pane_changed(const Worksheet& ws) { return ws.freeze_panes != ws.loaded_freeze_panes; }

bool keeps_loaded_filter(const Worksheet& ws) { return ws.loaded_auto_filter && ws.auto_filter == ws.loaded_auto_filter; }

std::string outline_format_xml(const Worksheet& ws) {
    const uint8_t rows = outline_level(ws.row_formats), cols = outline_level(ws.column_formats);
    if (rows == 0 && cols == 0) return {};
    return with_outline_levels("<sheetFormatPr defaultRowHeight=\"15\"/>", rows, cols);
}

std::vector<FormattedLine> formatted_lines(const std::unordered_map<uint32_t, LineFormat>& formats, uint32_t limit) {
    std::vector<FormattedLine> lines;
    lines.reserve(formats.size());
    for (const auto& [line, f] : formats)
        if (line >= 1 && line <= limit) lines.push_back({line, &f});
    std::sort(lines.begin(), lines.end(), [](const FormattedLine& a, const FormattedLine& b) { return a.index < b.index; });
    return lines;
}

void append_line_format(std::string& out, const LineFormat& f, bool row) {
    if (f.style) {
        out += row ? " s=\"" : " style=\"";
        xml::append_u64(out, *f.style);
        out += row ? "\" customFormat=\"1\"" : "\"";
    }
    if (f.hidden) out += " hidden=\"1\"";
    if (f.best_fit) out += " bestFit=\"1\"";
    if (f.phonetic) out += " phonetic=\"1\"";
    if (f.outline_level) {
        out += " outlineLevel=\"";
        xml::append_u64(out, f.outline_level);
        out += '"';
    }
    if (f.collapsed) out += " collapsed=\"1\"";
}

}  // namespace velmo::writer
