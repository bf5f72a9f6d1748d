#include "writer/styles_part.hpp"

#include <cmath>
#include <iterator>

#include "reader/carried_elements.hpp"
#include "reader/ignorable.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"

namespace velmo::writer {

namespace {

// Sizes and tints that are not finite would be written as "NaN" or "inf", which no reader
// takes; they are treated as not given.
bool positive_size(double size) { return std::isfinite(size) && size > 0; }

void write_fill(xml::XmlWriter& w, const Fill& fill) {
    w.start("fill");
    if (!fill.gradient_xml.empty()) {
        w.raw(fill.gradient_xml);
        w.end("fill");
        return;
    }
    w.start("patternFill", {{"patternType", fill.pattern_type}});
    if (fill.fg_color) write_color(w, "fgColor", *fill.fg_color);
    if (fill.bg_color) write_color(w, "bgColor", *fill.bg_color);
    w.end("patternFill");
    w.end("fill");
}

void write_font(xml::XmlWriter& w, const Font& font) {
    w.start("font");
    if (font.bold) w.empty("b");
    if (font.italic) w.empty("i");
    if (font.strike) w.empty("strike");
    // A font made here that gives no size, name or colour reads as 11 point Calibri; a loaded
    // one is what it was.
    const bool sized = positive_size(font.size);
    const bool fill_in = !font.loaded && !font.color;
    if (sized) w.open("sz").attr("val", font.size).close_empty();
    else if (fill_in && font.name.empty()) w.empty("sz", {{"val", "11"}});
    if (!font.name.empty()) w.empty("name", {{"val", font.name}});
    else if (fill_in && font.size <= 0) w.empty("name", {{"val", "Calibri"}});
    if (font.color) write_color(w, "color", *font.color);
    w.raw(font.children_xml);
    w.end("font");
}

void write_cell_xf(xml::XmlWriter& w, const CellXf& xf, const std::vector<std::string>& children) {
    w.open("xf")
        .attr("numFmtId", xf.num_fmt_id)
        .attr("fontId", xf.font_id)
        .attr("fillId", xf.fill_id)
        .attr("borderId", xf.border_id)
        .attr("xfId", xf.xf_id);
    for (size_t f = 0; f < std::size(kXfFlagNames); ++f)
        if (const auto on = xf.flag(static_cast<XfFlag>(f))) w.attr(kXfFlagNames[f], *on ? "1" : "0");
    if (xf.children == 0 || xf.children >= children.size()) {
        w.close_empty();
        return;
    }
    w.close_start();
    w.raw(children[xf.children]);
    w.end("xf");
}

Result<void> check_color(const std::optional<Color>& color, const auto& where) {
    if (!color) return {};
    if (const auto* argb = std::get_if<ColorArgb>(&*color)) return check_xml_text(argb->argb, where);
    return {};
}

Result<void> check_font(const Font& font, const std::string& where) {
    if (auto ok = check_xml_text(font.name, [&] { return where + " name"; }); !ok) return ok;
    return check_color(font.color, [&] { return where + " colour"; });
}

Result<void> check_fill(const Fill& fill, const std::string& where) {
    if (auto ok = check_xml_text(fill.pattern_type, [&] { return where + " pattern type"; }); !ok) return ok;
    if (auto ok = check_color(fill.fg_color, [&] { return where + " foreground colour"; }); !ok) return ok;
    return check_color(fill.bg_color, [&] { return where + " background colour"; });
}

Result<void> check_texts(const CollectedStyles& st) {
    const auto numbered = [](std::string_view what, size_t i) { return "styles: " + std::string(what) + " " + std::to_string(i); };
    for (const auto& [id, code] : st.num_fmts)
        if (auto ok = check_xml_text(code, [&] { return numbered("number format", id); }); !ok) return ok;
    for (size_t i = 0; i < st.fonts.size(); ++i)
        if (auto ok = check_font(st.fonts[i], numbered("font", i)); !ok) return ok;
    for (size_t i = 0; i < st.fills.size(); ++i)
        if (auto ok = check_fill(st.fills[i], numbered("fill", i)); !ok) return ok;
    for (size_t i = 0; i < st.dxfs.size(); ++i) {
        const Dxf& d = st.dxfs[i];
        if (d.font)
            if (auto ok = check_font(*d.font, numbered("differential format", i) + " font"); !ok) return ok;
        if (d.fill)
            if (auto ok = check_fill(*d.fill, numbered("differential format", i) + " fill"); !ok) return ok;
    }
    return {};
}

// The namespaces of the source root's ignorable list that what the part carries uses, in the
// list's order: the root marks them ignorable again, else an application that does not know them
// would have to refuse the part.
reader::NamespaceBindings used_ignorable(const CollectedStyles& st) {
    const reader::NamespaceBindings& listed = st.blocks.ignorable;
    if (listed.empty()) return {};
    // Each carried piece declares what it uses: looked through together they name the same.
    std::string carried;
    const auto add_font = [&](const Font& f) { carried += f.children_xml; };
    const auto add_fill = [&](const Fill& f) { carried += f.gradient_xml; };
    for (const Font& f : st.fonts) add_font(f);
    for (const Fill& f : st.fills) add_fill(f);
    for (const std::string& b : st.borders) carried += b;
    for (const std::string& x : st.xf_children) carried += x;
    for (const Dxf& d : st.dxfs) {
        if (!d.xml.empty()) {
            carried += d.xml;
            continue;
        }
        if (d.font) add_font(*d.font);
        if (d.fill) add_fill(*d.fill);
    }
    const StyleBlocks& b = st.blocks;
    for (const std::string* block : {&b.cell_style_xfs, &b.cell_styles, &b.table_styles, &b.colors, &b.ext_lst})
        carried += *block;
    const reader::IgnorableLookup lookup(listed);
    reader::NamespaceBindings used;
    for (const size_t i : reader::references(carried, reader::NamespaceScope{}, &lookup).ignorable) used.push_back(listed[i]);
    return used;
}

}  // namespace

void write_color(xml::XmlWriter& w, std::string_view element, const Color& color) {
    w.open(element);
    if (const auto* argb = std::get_if<ColorArgb>(&color)) {
        w.attr("rgb", argb->argb);
    } else if (const auto* indexed = std::get_if<ColorIndexed>(&color)) {
        w.attr("indexed", indexed->index);
    } else {
        const auto& theme = std::get<ColorTheme>(color);
        w.attr("theme", theme.theme);
        if (theme.tint && std::isfinite(*theme.tint)) w.attr("tint", *theme.tint);
    }
    w.close_empty();
}

void write_dxf(xml::XmlWriter& w, const Dxf& dxf) {
    if (!dxf.xml.empty()) {
        w.raw(dxf.xml);
        return;
    }
    w.start("dxf");
    if (dxf.font) {
        const Font& f = *dxf.font;
        w.start("font");
        if (f.bold) w.empty("b", {{"val", "1"}});
        if (f.italic) w.empty("i", {{"val", "1"}});
        if (f.strike) w.empty("strike");
        if (positive_size(f.size)) w.open("sz").attr("val", f.size).close_empty();
        if (!f.name.empty()) w.empty("name", {{"val", f.name}});
        if (f.color) write_color(w, "color", *f.color);
        w.raw(f.children_xml);
        w.end("font");
    }
    if (dxf.fill) {
        const Fill& f = *dxf.fill;
        // In a differential format a pattern fill without a pattern type but with a colour is a
        // solid fill, the form spreadsheet applications write; it reads back as "none", and an
        // explicit "none" would make the rule highlight nothing.
        if (f.pattern_type == "none" && (f.fg_color || f.bg_color) && f.gradient_xml.empty()) {
            w.start("fill");
            w.start("patternFill");
            if (f.fg_color) write_color(w, "fgColor", *f.fg_color);
            if (f.bg_color) write_color(w, "bgColor", *f.bg_color);
            w.end("patternFill");
            w.end("fill");
        } else {
            write_fill(w, f);
        }
    }
    w.end("dxf");
}

Result<std::string> write_styles_xml(const CollectedStyles& st) {
    if (auto ok = check_texts(st); !ok) return fail(std::move(ok.error()));

    auto w = xml::XmlWriter::with_declaration(1024 + 64 * (st.fonts.size() + st.fills.size() + st.cell_xfs.size()));
    w.open("styleSheet").attr("xmlns", kMainNs);
    declare_ignorable(w, used_ignorable(st));
    w.close_start();

    if (!st.num_fmts.empty()) {
        w.open("numFmts").attr("count", st.num_fmts.size()).close_start();
        for (const auto& [id, code] : st.num_fmts) w.open("numFmt").attr("numFmtId", id).attr("formatCode", code).close_empty();
        w.end("numFmts");
    }

    w.open("fonts").attr("count", st.fonts.size()).close_start();
    for (const Font& font : st.fonts) write_font(w, font);
    w.end("fonts");

    w.open("fills").attr("count", st.fills.size()).close_start();
    for (const Fill& fill : st.fills) write_fill(w, fill);
    w.end("fills");

    // What the source lacks is what a new workbook gets: one empty border, one cell style format
    // and the "Normal" style based on it.
    if (st.borders.empty()) {
        w.raw("<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>");
    } else {
        w.open("borders").attr("count", st.borders.size()).close_start();
        for (const std::string& border : st.borders) w.raw(border);
        w.end("borders");
    }
    if (st.blocks.cell_style_xfs.empty())
        w.raw("<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>");
    else
        w.raw(st.blocks.cell_style_xfs);

    w.open("cellXfs").attr("count", st.cell_xfs.size()).close_start();
    for (const CellXf& xf : st.cell_xfs) write_cell_xf(w, xf, st.xf_children);
    w.end("cellXfs");

    if (st.blocks.cell_styles.empty())
        w.raw("<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>");
    else
        w.raw(st.blocks.cell_styles);

    if (!st.dxfs.empty()) {
        w.open("dxfs").attr("count", st.dxfs.size()).close_start();
        for (const Dxf& dxf : st.dxfs) write_dxf(w, dxf);
        w.end("dxfs");
    }
    w.raw(st.blocks.table_styles);
    w.raw(st.blocks.colors);
    w.raw(st.blocks.ext_lst);

    w.end("styleSheet");
    return std::move(w).finish();
}

}  // namespace velmo::writer
