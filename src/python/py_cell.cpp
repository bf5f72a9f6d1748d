#include "python/py_cell.hpp"

#include "model/coords.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"
#include "python/py_styles.hpp"
#include "python/values.hpp"

namespace velmo::python {
namespace {

PyObject* text_to_py(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* opt_text_to_py(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return text_to_py(*s);
}

// ---- Cell ----

std::optional<coords::CellPos> cell_position(PyObject* self) {
    auto pos = coords::parse_a1(unbox<CellCopy>(self).coordinate);
    // Any text can be a key, so a snapshot need not have a position; that is the caller's error.
    if (!pos) PyErr_SetString(PyExc_ValueError, "Cell reference must be a valid A1 address");
    return pos;
}

PyObject* cell_value(PyObject* self) { return value_to_py(unbox<CellCopy>(self).cell.value); }

PyObject* cell_row(PyObject* self) {
    auto pos = cell_position(self);
    return pos ? PyLong_FromUnsignedLong(pos->row) : nullptr;
}

PyObject* cell_column(PyObject* self) {
    auto pos = cell_position(self);
    return pos ? PyLong_FromUnsignedLong(pos->col) : nullptr;
}

const CellXf* cell_format(const Cell& cell) {
    const auto& xfs = cell.stylesheet->cell_xfs;
    return cell.style_index < xfs.size() ? &xfs[cell.style_index] : nullptr;
}

// The cell's own font or fill first, since the writer applies it over the style; else the style sheet's.
PyObject* cell_font(PyObject* self) {
    const Cell& cell = unbox<CellCopy>(self).cell;
    if (const Font* own = cell.font()) return make_font(*own);
    if (const CellXf* xf = cell_format(cell); xf && xf->font_id < cell.stylesheet->fonts.size())
        return make_font(cell.stylesheet->fonts[xf->font_id]);
    Py_RETURN_NONE;
}

PyObject* cell_fill(PyObject* self) {
    const Cell& cell = unbox<CellCopy>(self).cell;
    if (const Fill* own = cell.fill()) return make_fill(*own);
    if (const CellXf* xf = cell_format(cell); xf && xf->fill_id < cell.stylesheet->fills.size())
        return make_fill(cell.stylesheet->fills[xf->fill_id]);
    Py_RETURN_NONE;
}

PyObject* cell_comment(PyObject* self) {
    const Comment* c = unbox<CellCopy>(self).cell.comment();
    if (!c) Py_RETURN_NONE;
    return box_new<Comment>(types().comment, *c);
}

PyObject* cell_hyperlink(PyObject* self) {
    const Hyperlink* h = unbox<CellCopy>(self).cell.hyperlink();
    if (!h) Py_RETURN_NONE;
    return box_new<Hyperlink>(types().hyperlink, *h);
}

PyGetSetDef cell_getset[] = {
    {"value", getter<cell_value>, nullptr, "The value: None, str, int, float, bool, a datetime object or a formula.",
     nullptr},
    {"row", getter<cell_row>, nullptr, "The 1-based row number of the coordinate.", nullptr},
    {"column", getter<cell_column>, nullptr, "The 1-based column number of the coordinate.", nullptr},
    {"font", getter<cell_font>, nullptr, "The cell's font, or None.", nullptr},
    {"fill", getter<cell_fill>, nullptr, "The cell's fill, or None.", nullptr},
    {"comment", getter<cell_comment>, nullptr, "A copy of the cell's comment, or None.", nullptr},
    {"hyperlink", getter<cell_hyperlink>, nullptr, "A copy of the cell's hyperlink, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cell_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of one cell, taken when it was read; it does not follow later edits.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<CellCopy>)},
    {Py_tp_getset, cell_getset},
    {0, nullptr},
};

PyType_Spec cell_spec = {"velmo.Cell", box_size<CellCopy>(), 0, Py_TPFLAGS_DEFAULT, cell_slots};

// ---- Comment ----

PyObject* comment_text(PyObject* self) { return text_to_py(unbox<Comment>(self).text); }
PyObject* comment_author(PyObject* self) { return text_to_py(unbox<Comment>(self).author); }

PyGetSetDef comment_getset[] = {
    {"text", getter<comment_text>, nullptr, "The comment text.", nullptr},
    {"author", getter<comment_author>, nullptr, "The author (may be empty).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot comment_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of a cell comment.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<Comment>)},
    {Py_tp_getset, comment_getset},
    {0, nullptr},
};

PyType_Spec comment_spec = {"velmo.Comment", box_size<Comment>(), 0, Py_TPFLAGS_DEFAULT, comment_slots};

// ---- Hyperlink ----

PyObject* hyperlink_target(PyObject* self) {
    const auto& target = unbox<Hyperlink>(self).target;
    if (target.empty()) Py_RETURN_NONE;  // a link to a place inside the workbook
    return text_to_py(target);
}
PyObject* hyperlink_location(PyObject* self) { return opt_text_to_py(unbox<Hyperlink>(self).location); }
PyObject* hyperlink_tooltip(PyObject* self) { return opt_text_to_py(unbox<Hyperlink>(self).tooltip); }
PyObject* hyperlink_display(PyObject* self) { return opt_text_to_py(unbox<Hyperlink>(self).display); }

PyGetSetDef hyperlink_getset[] = {
    {"target", getter<hyperlink_target>, nullptr, "The external target, or None for a place in the workbook.",
     nullptr},
    {"location", getter<hyperlink_location>, nullptr, "The place inside the workbook, or None.", nullptr},
    {"tooltip", getter<hyperlink_tooltip>, nullptr, "The tooltip, or None.", nullptr},
    {"display", getter<hyperlink_display>, nullptr, "The display text, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hyperlink_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of a cell hyperlink.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<Hyperlink>)},
    {Py_tp_getset, hyperlink_getset},
    {0, nullptr},
};

PyType_Spec hyperlink_spec = {"velmo.Hyperlink", box_size<Hyperlink>(), 0, Py_TPFLAGS_DEFAULT, hyperlink_slots};

}  // namespace

PyType_Spec* cell_type_spec() { return &cell_spec; }
PyType_Spec* comment_type_spec() { return &comment_spec; }
PyType_Spec* hyperlink_type_spec() { return &hyperlink_spec; }

PyObject* make_cell(CellCopy&& copy) { return box_new<CellCopy>(types().cell, std::move(copy)); }

}  // namespace velmo::python
