#include "python/py_styles.hpp"

#include <string>

#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"

namespace velmo::python {
namespace {

PyObject* opt_color(const std::optional<Color>& c) {
    if (!c) Py_RETURN_NONE;
    return make_color(*c);
}

// ---- Font ----

PyObject* font_bold(PyObject* self) { return PyBool_FromLong(unbox<Font>(self).bold); }
PyObject* font_italic(PyObject* self) { return PyBool_FromLong(unbox<Font>(self).italic); }
PyObject* font_strike(PyObject* self) { return PyBool_FromLong(unbox<Font>(self).strike); }
PyObject* font_color(PyObject* self) { return opt_color(unbox<Font>(self).color); }

PyGetSetDef font_getset[] = {
    {"bold", getter<font_bold>, nullptr, "Whether the font is bold.", nullptr},
    {"italic", getter<font_italic>, nullptr, "Whether the font is italic.", nullptr},
    {"strike", getter<font_strike>, nullptr, "Whether the font is struck through.", nullptr},
    {"color", getter<font_color>, nullptr, "The font colour, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot font_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of a font.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<Font>)},
    {Py_tp_getset, font_getset},
    {0, nullptr},
};

PyType_Spec font_spec = {"velmo.Font", box_size<Font>(), 0, Py_TPFLAGS_DEFAULT, font_slots};

// ---- Fill ----

PyObject* fill_fg(PyObject* self) { return opt_color(unbox<Fill>(self).fg_color); }
PyObject* fill_bg(PyObject* self) { return opt_color(unbox<Fill>(self).bg_color); }

PyGetSetDef fill_getset[] = {
    {"fg_color", getter<fill_fg>, nullptr, "The foreground colour, or None.", nullptr},
    {"start_color", getter<fill_fg>, nullptr, "The foreground colour, or None.", nullptr},
    {"end_color", getter<fill_bg>, nullptr, "The background colour, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fill_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of a cell fill.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<Fill>)},
    {Py_tp_getset, fill_getset},
    {0, nullptr},
};

PyType_Spec fill_spec = {"velmo.Fill", box_size<Fill>(), 0, Py_TPFLAGS_DEFAULT, fill_slots};

// ---- PatternFill ----

PyObject* pattern_fill_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{
        "PatternFill", {"fill_type", "fgColor", "bgColor", "start_color", "end_color", "patternType"}, 6, 0};
    PyObject* a[6];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::optional<std::string> v[6];
    for (int i = 0; i < 6; ++i) {
        if (!arg_opt_str(a[i], params.names[i], v[i])) return nullptr;
    }
    const auto& [fill_type, fg, bg, start, end, pattern] = v;
    Fill fill;
    // The first form wins when both are given: fill_type over patternType, start_color over fgColor,
    // end_color over bgColor.
    if (fill_type) fill.pattern_type = *fill_type;
    else if (pattern) fill.pattern_type = *pattern;
    if (start) fill.fg_color = ColorArgb{*start};
    else if (fg) fill.fg_color = ColorArgb{*fg};
    if (end) fill.bg_color = ColorArgb{*end};
    else if (bg) fill.bg_color = ColorArgb{*bg};
    return box_new<Fill>(type, std::move(fill));
}

PyObject* pattern_fill_type(PyObject* self) {
    const auto& p = unbox<Fill>(self).pattern_type;
    if (p == "none") Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

PyGetSetDef pattern_fill_getset[] = {
    {"fill_type", getter<pattern_fill_type>, nullptr, "The pattern, or None for no pattern.", nullptr},
    {"patternType", getter<pattern_fill_type>, nullptr, "The pattern, or None for no pattern.", nullptr},
    {"fgColor", getter<fill_fg>, nullptr, "The foreground colour, or None.", nullptr},
    {"start_color", getter<fill_fg>, nullptr, "The foreground colour, or None.", nullptr},
    {"bgColor", getter<fill_bg>, nullptr, "The background colour, or None.", nullptr},
    {"end_color", getter<fill_bg>, nullptr, "The background colour, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pattern_fill_slots[] = {
    {Py_tp_doc, const_cast<char*>("PatternFill(fill_type=None, fgColor=None, bgColor=None, start_color=None, "
                                  "end_color=None, patternType=None)\n--\n\n"
                                  "A fill to give a cell or a conditional formatting rule; colours are ARGB texts.")},
    {Py_tp_new, slot(new_slot<pattern_fill_new>)},
    {Py_tp_dealloc, slot(box_dealloc<Fill>)},
    {Py_tp_getset, pattern_fill_getset},
    {0, nullptr},
};

PyType_Spec pattern_fill_spec = {"velmo.PatternFill", box_size<Fill>(), 0, Py_TPFLAGS_DEFAULT, pattern_fill_slots};

// ---- Color ----

PyObject* color_rgb(PyObject* self) {
    if (auto* c = std::get_if<ColorArgb>(&unbox<Color>(self)))
        return PyUnicode_FromStringAndSize(c->argb.data(), static_cast<Py_ssize_t>(c->argb.size()));
    Py_RETURN_NONE;
}

PyObject* color_indexed(PyObject* self) {
    if (auto* c = std::get_if<ColorIndexed>(&unbox<Color>(self))) return PyLong_FromUnsignedLong(c->index);
    Py_RETURN_NONE;
}

PyObject* color_theme(PyObject* self) {
    if (auto* c = std::get_if<ColorTheme>(&unbox<Color>(self))) return PyLong_FromUnsignedLong(c->theme);
    Py_RETURN_NONE;
}

PyObject* color_tint(PyObject* self) {
    if (auto* c = std::get_if<ColorTheme>(&unbox<Color>(self)); c && c->tint) return PyFloat_FromDouble(*c->tint);
    Py_RETURN_NONE;
}

PyGetSetDef color_getset[] = {
    {"rgb", getter<color_rgb>, nullptr, "The ARGB text, or None.", nullptr},
    {"indexed", getter<color_indexed>, nullptr, "The palette index, or None.", nullptr},
    {"theme", getter<color_theme>, nullptr, "The theme colour index, or None.", nullptr},
    {"tint", getter<color_tint>, nullptr, "The tint of a theme colour, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot color_slots[] = {
    {Py_tp_doc, const_cast<char*>("A colour: an ARGB text, a palette index or a theme colour with optional tint.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<Color>)},
    {Py_tp_getset, color_getset},
    {0, nullptr},
};

PyType_Spec color_spec = {"velmo.Color", box_size<Color>(), 0, Py_TPFLAGS_DEFAULT, color_slots};

}  // namespace

PyType_Spec* font_type_spec() { return &font_spec; }
PyType_Spec* fill_type_spec() { return &fill_spec; }
PyType_Spec* pattern_fill_type_spec() { return &pattern_fill_spec; }
PyType_Spec* color_type_spec() { return &color_spec; }

PyObject* make_font(const Font& font) { return box_new<Font>(types().font, font); }
PyObject* make_fill(const Fill& fill) { return box_new<Fill>(types().fill, fill); }
PyObject* make_color(const Color& color) { return box_new<Color>(types().color, color); }

const Fill* pattern_fill_of(PyObject* o) {
    if (Py_TYPE(o) != types().pattern_fill) return nullptr;
    return &unbox<Fill>(o);
}

const Font* font_of(PyObject* o) {
    if (Py_TYPE(o) != types().font) return nullptr;
    return &unbox<Font>(o);
}

}  // namespace velmo::python
