// Worksheet members beyond cells, iteration and append: structural edits, merged ranges, sizes, cell
// records and sheet settings. Each entry added here joins the "Worksheet" class.

#include <optional>
#include <string>
#include <string_view>

#include "model/coords.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/py_autofilter.hpp"
#include "python/py_conditional.hpp"
#include "python/py_defined_names.hpp"
#include "python/py_styles.hpp"
#include "python/py_worksheet.hpp"

namespace velmo::python {
namespace {

const SheetView& view_of(PyObject* self) { return unbox<SheetView>(self); }

PyObject* done_or_null(const std::optional<std::monostate>& done) {
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// The outcome of a model operation that may refuse: None, or the mapped exception.
PyObject* result_or_null(std::optional<Result<void>>&& done) {
    if (!done) return nullptr;
    if (!*done) return raise_velmo_error(std::move(done->error()));
    Py_RETURN_NONE;
}

PyObject* opt_text_to_py(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

// A real number (int, float, or anything with a float conversion) as a double.
bool arg_f64(PyObject* o, const char* arg, double& out) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // OverflowError of a huge int stays
        PyErr_Clear();
        raise_arg_type(arg, "a real number", o);
        return false;
    }
    out = v;
    return true;
}

// ---- structural edits ----

using BulkEdit = Result<void> (Worksheet::*)(uint32_t, uint32_t);

template <BulkEdit Edit>
struct BulkParams;
template <>
struct BulkParams<&Worksheet::insert_rows> {
    static constexpr const char* name = "insert_rows";
};
template <>
struct BulkParams<&Worksheet::delete_rows> {
    static constexpr const char* name = "delete_rows";
};
template <>
struct BulkParams<&Worksheet::insert_cols> {
    static constexpr const char* name = "insert_cols";
};
template <>
struct BulkParams<&Worksheet::delete_cols> {
    static constexpr const char* name = "delete_cols";
};

template <BulkEdit Edit>
PyObject* ws_bulk_edit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{BulkParams<Edit>::name, {"idx", "amount"}, 2, 0b01};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    uint32_t idx = 0, amount = 1;
    if (!arg_u32(a[0], "idx", idx)) return nullptr;
    if (a[1] && !arg_u32(a[1], "amount", amount)) return nullptr;
    // The model validates idx and amount against the grid and the tables before it moves anything.
    return result_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { return (ws.*Edit)(idx, amount); }));
}

PyObject* ws_move_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"move_range", {"cell_range", "rows", "cols", "translate"}, 4, 0b0001};
    PyObject* a[4];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view range;
    int64_t rows = 0, cols = 0;
    bool translate = false;
    if (!arg_str(a[0], "cell_range", range)) return nullptr;
    if (a[1] && !arg_i64(a[1], "rows", rows)) return nullptr;
    if (a[2] && !arg_i64(a[2], "cols", cols)) return nullptr;
    if (a[3] && !arg_bool(a[3], "translate", translate)) return nullptr;
    return result_or_null(
        with_sheet(view_of(self), [&](Worksheet& ws) { return ws.move_range(range, rows, cols, translate); }));
}

// ---- merged ranges and sizes ----

PyObject* ws_merge_cells(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"merge_cells", {"range"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view range;
    if (!arg_str(a[0], "range", range)) return nullptr;
    return done_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { ws.merge_cells(range); }));
}

PyObject* ws_unmerge_cells(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"unmerge_cells", {"range"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view range;
    if (!arg_str(a[0], "range", range)) return nullptr;
    return done_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { ws.unmerge_cells(range); }));
}

// column_width(col, width) and row_height(row, height).
template <bool Rows>
PyObject* ws_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params = Rows ? Params{"row_height", {"row", "height"}, 2, 0b11}
                                      : Params{"column_width", {"col", "width"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    uint32_t index = 0;
    double size = 0;
    if (!arg_u32(a[0], params.names[0], index) || !arg_f64(a[1], params.names[1], size)) return nullptr;
    return result_or_null(with_sheet(view_of(self), [&](Worksheet& ws) {
        return Rows ? ws.set_row_height(index, size) : ws.set_column_width(index, size);
    }));
}

// ---- cell records ----

PyObject* ws_set_cell_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"set_cell_comment", {"coord", "text", "author"}, 3, 0b111};
    PyObject* a[3];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view coord, text, author;
    if (!arg_str(a[0], "coord", coord) || !arg_str(a[1], "text", text) || !arg_str(a[2], "author", author))
        return nullptr;
    return result_or_null(with_sheet(view_of(self), [&](Worksheet& ws) {
        return ws.set_cell_comment(coord, Comment{std::string(text), std::string(author)});
    }));
}

PyObject* ws_set_cell_hyperlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"set_cell_hyperlink", {"coord", "target"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view coord, target;
    if (!arg_str(a[0], "coord", coord) || !arg_str(a[1], "target", target)) return nullptr;
    return result_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { return ws.set_cell_hyperlink(coord, target); }));
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
    return result_or_null(with_sheet(view_of(self), [&](Worksheet& ws) { return ws.set_cell_fill(coord, *fill); }));
}

// ---- sheet settings ----

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

using TextField = std::optional<std::string> Worksheet::*;

template <TextField Field>
PyObject* ws_get_text(PyObject* self) {
    auto text = with_sheet(view_of(self), [](Worksheet& ws) { return ws.*Field; });
    if (!text) return nullptr;
    return opt_text_to_py(*text);
}

using Normalizer = std::optional<std::string> (*)(const std::optional<std::string>&);

// Text that does not normalise clears the setting (or loses the piece); a setter never refuses text.
template <TextField Field, Normalizer Normalize>
int ws_set_text(PyObject* self, PyObject* value) {
    if (!value) return refuse_delete();
    std::optional<std::string> text;
    if (!arg_opt_str(value, "value", text)) return -1;
    std::optional<std::string> stored = Normalize(text);
    auto done = with_sheet(view_of(self), [&](Worksheet& ws) { ws.*Field = std::move(stored); });
    return done ? 0 : -1;
}

PyObject* ws_get_print_area(PyObject* self) {
    auto text = with_sheet(view_of(self), [](Worksheet& ws) { return ws.print_area(); });
    if (!text) return nullptr;
    return opt_text_to_py(*text);
}

// ---- views: a handle clone and the position, without locking ----

PyObject* ws_auto_filter(PyObject* self) { return make_auto_filter(view_of(self)); }
PyObject* ws_conditional_formatting(PyObject* self) { return make_conditional_formatting(view_of(self)); }
PyObject* ws_tables(PyObject* self) {
    const SheetView& v = view_of(self);
    return box_new<SheetView>(types().table_list, v.workbook, v.sheet_index);
}
PyObject* ws_defined_names(PyObject* self) {
    const SheetView& v = view_of(self);
    return make_defined_names(v.workbook, v.sheet_index);
}

const PyMethodDef edit_methods[] = {
    {"insert_rows", method(fastcall<ws_bulk_edit<&Worksheet::insert_rows>>), METH_FASTCALL | METH_KEYWORDS,
     "insert_rows($self, idx, amount=1)\n--\n\nInserts amount empty rows before row idx."},
    {"delete_rows", method(fastcall<ws_bulk_edit<&Worksheet::delete_rows>>), METH_FASTCALL | METH_KEYWORDS,
     "delete_rows($self, idx, amount=1)\n--\n\nDeletes amount rows from row idx on."},
    {"insert_cols", method(fastcall<ws_bulk_edit<&Worksheet::insert_cols>>), METH_FASTCALL | METH_KEYWORDS,
     "insert_cols($self, idx, amount=1)\n--\n\nInserts amount empty columns before column idx."},
    {"delete_cols", method(fastcall<ws_bulk_edit<&Worksheet::delete_cols>>), METH_FASTCALL | METH_KEYWORDS,
     "delete_cols($self, idx, amount=1)\n--\n\nDeletes amount columns from column idx on."},
    {"move_range", method(fastcall<ws_move_range>), METH_FASTCALL | METH_KEYWORDS,
     "move_range($self, cell_range, rows=0, cols=0, translate=False)\n--\n\n"
     "Moves the cells of the range by the offsets, replacing what lies at the destination."},
    {"merge_cells", method(fastcall<ws_merge_cells>), METH_FASTCALL | METH_KEYWORDS,
     "merge_cells($self, range)\n--\n\nMerges the range (listed once)."},
    {"unmerge_cells", method(fastcall<ws_unmerge_cells>), METH_FASTCALL | METH_KEYWORDS,
     "unmerge_cells($self, range)\n--\n\nRemoves the merged range written exactly so."},
    {"column_width", method(fastcall<ws_size<false>>), METH_FASTCALL | METH_KEYWORDS,
     "column_width($self, col, width)\n--\n\nSets the width of the 1-based column."},
    {"row_height", method(fastcall<ws_size<true>>), METH_FASTCALL | METH_KEYWORDS,
     "row_height($self, row, height)\n--\n\nSets the height of the 1-based row."},
    {"set_cell_comment", method(fastcall<ws_set_cell_comment>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_comment($self, coord, text, author)\n--\n\nGives the cell a comment, replacing any earlier one."},
    {"set_cell_hyperlink", method(fastcall<ws_set_cell_hyperlink>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_hyperlink($self, coord, target)\n--\n\n"
     "Gives the cell a hyperlink to the target; an empty target does nothing."},
    {"set_cell_fill", method(fastcall<ws_set_cell_fill>), METH_FASTCALL | METH_KEYWORDS,
     "set_cell_fill($self, coord, fill)\n--\n\nGives the cell its own fill, a copy of the PatternFill."},
};

const PyGetSetDef edit_getset[] = {
    {"freeze_panes", getter<ws_get_text<&Worksheet::freeze_panes>>,
     setter<ws_set_text<&Worksheet::freeze_panes, coords::normalize_freeze_panes>>,
     "The top-left cell of the scrolling pane, or None.", nullptr},
    {"print_area", getter<ws_get_print_area>,
     setter<ws_set_text<&Worksheet::print_area_text, coords::normalize_print_setting>>,
     "The print area qualified with the sheet title, or None.", nullptr},
    {"print_title_rows", getter<ws_get_text<&Worksheet::print_title_rows>>,
     setter<ws_set_text<&Worksheet::print_title_rows, coords::normalize_print_setting>>,
     "The rows repeated on every printed page (such as $1:$2), or None.", nullptr},
    {"print_title_cols", getter<ws_get_text<&Worksheet::print_title_cols>>,
     setter<ws_set_text<&Worksheet::print_title_cols, coords::normalize_print_setting>>,
     "The columns repeated on every printed page (such as $A:$B), or None.", nullptr},
    {"auto_filter", getter<ws_auto_filter>, nullptr, "The worksheet's auto filter.", nullptr},
    {"tables", getter<ws_tables>, nullptr, "The worksheet's tables.", nullptr},
    {"conditional_formatting", getter<ws_conditional_formatting>, nullptr,
     "The worksheet's conditional formatting.", nullptr},
    {"defined_names", getter<ws_defined_names>, nullptr, "The names defined for this worksheet.", nullptr},
};

}  // namespace

std::span<const PyMethodDef> worksheet_edit_methods() { return edit_methods; }

std::span<const PyGetSetDef> worksheet_edit_getset() { return edit_getset; }

}  // namespace velmo::python
