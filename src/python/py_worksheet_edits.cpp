// Worksheet members beyond cells, iteration and append: structural edits, merged ranges, sizes, cell
// records and sheet settings. Each entry added here joins the "Worksheet" class.

#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/py_styles.hpp"
#include "python/py_worksheet.hpp"

namespace velmo::python {
namespace {

const SheetView& view_of(PyObject* self) { return unbox<SheetView>(self); }

PyObject* done_or_null(const std::optional<std::monostate>& done) {
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

PyObject* ws_set_cell_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"set_cell_comment", {"coord", "text", "author"}, 3, 0b111};
    PyObject* a[3];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view coord, text, author;
    if (!arg_str(a[0], "coord", coord) || !arg_str(a[1], "text", text) || !arg_str(a[2], "author", author))
        return nullptr;
    return done_or_null(with_sheet(view_of(self), [&](Worksheet& ws) {
        ws.set_cell_comment(coord, Comment{std::string(text), std::string(author)});
    }));
}

PyObject* ws_set_cell_hyperlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"set_cell_hyperlink", {"coord", "target"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view coord, target;
    if (!arg_str(a[0], "coord", coord) || !arg_str(a[1], "target", target)) return nullptr;
    return done_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { ws.set_cell_hyperlink(coord, target); }));
}

PyObject* ws_set_cell_fill(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"set_cell_fill", {"coord", "fill"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view coord;
    if (!arg_str(a[0], "coord", coord)) return nullptr;
    const Fill* fill = pattern_fill_of(a[1]);
    if (!fill) {
        raise_arg_type("fill", "PatternFill", a[1]);
        return nullptr;
    }
    return done_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { ws.set_cell_fill(coord, *fill); }));
}

const PyMethodDef edit_methods[] = {
    {"set_cell_comment", method(fastcall<ws_set_cell_comment>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_comment($self, coord, text, author)\n--\n\nGives the cell a comment, replacing any earlier one."},
    {"set_cell_hyperlink", method(fastcall<ws_set_cell_hyperlink>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_hyperlink($self, coord, target)\n--\n\n"
     "Gives the cell a hyperlink to the target; an empty target does nothing."},
    {"set_cell_fill", method(fastcall<ws_set_cell_fill>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_fill($self, coord, fill)\n--\n\nGives the cell its own fill, a copy of the PatternFill."},
};

}  // namespace

std::span<const PyMethodDef> worksheet_edit_methods() { return edit_methods; }

std::span<const PyGetSetDef> worksheet_edit_getset() { return {}; }

}  // namespace velmo::python
