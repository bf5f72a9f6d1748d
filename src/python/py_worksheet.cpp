#include "python/py_worksheet.hpp"

#include <string>
#include <vector>

#include "model/coords.hpp"
#include "model/quoted.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/py_cell.hpp"
#include "python/py_tables.hpp"
#include "python/pyref.hpp"
#include "python/values.hpp"

namespace velmo::python {
namespace {

constexpr uint32_t kMaxColumn = 16384;

const SheetView& view_of(PyObject* self) { return unbox<SheetView>(self); }

// A copy of the cell under exactly `key`, or an empty cell with that coordinate; nothing is inserted.
PyObject* read_cell(PyObject* self, std::string_view key) {
    auto copy = with_sheet(view_of(self), [&](Worksheet& ws) {
        CellCopy out{std::string(key), Cell()};
        if (const Cell* found = ws.find_cell(key)) out.cell = *found;
        return out;
    });
    if (!copy) return nullptr;
    return make_cell(std::move(*copy));
}

// ---- subscript ----

PyObject* ws_subscript(PyObject* self, PyObject* key) {
    std::string_view coord;
    if (!arg_str(key, "coord", coord)) return nullptr;
    return read_cell(self, coord);
}

int ws_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
        return -1;
    }
    std::string_view coord;
    if (!arg_str(key, "coord", coord)) return -1;
    auto v = py_to_value(value);
    if (!v) return -1;
    auto done = with_sheet(view_of(self), [&](Worksheet& ws) { ws.set_cell(coord, std::move(*v)); });
    return done ? 0 : -1;
}

// ---- cell ----

PyObject* ws_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"cell", {"row", "column"}, 0, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    uint32_t row = 0, column = 0;
    if (!arg_u32(a[0], "row", row) || !arg_u32(a[1], "column", column)) return nullptr;
    if (row == 0) return PyErr_Format(PyExc_ValueError, "row must be >= 1, got %u", row);
    if (column == 0) return PyErr_Format(PyExc_ValueError, "column must be >= 1, got %u", column);
    return read_cell(self, coords::rc_to_a1(row, column));
}

// ---- iteration ----

struct Bounds {
    std::optional<uint32_t> min_row, max_row, min_col, max_col;
    bool values_only = false;
};

// The rectangle is copied under the lock and turned into Python objects once it is released: making
// them may run Python code (a class standing in for a datetime class), which may use the workbook.
PyObject* iterate(PyObject* self, const Bounds& b, bool by_rows) {
    if (b.values_only) {
        auto block = with_sheet(view_of(self), [&](Worksheet& ws) {
            return ws.values_rect(by_rows, b.min_row, b.max_row, b.min_col, b.max_col);
        });
        if (!block) return nullptr;
        if (!*block) return raise_velmo_error(std::move(block->error()));
        return value_block_to_py_tuples(std::move(**block));
    }
    auto rows = with_sheet(view_of(self), [&](Worksheet& ws) {
        return by_rows ? ws.iter_rows(b.min_row, b.max_row, b.min_col, b.max_col)
                       : ws.iter_cols(b.min_row, b.max_row, b.min_col, b.max_col);
    });
    if (!rows) return nullptr;
    if (!*rows) return raise_velmo_error(std::move(rows->error()));
    return rows_to_py_tuples(std::move(**rows));
}

// iter_rows and iter_cols differ only in the order of their bounds.
template <bool ByRows>
PyObject* ws_iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params = ByRows
        ? Params{"iter_rows", {"min_row", "max_row", "min_col", "max_col", "values_only"}, 5, 0}
        : Params{"iter_cols", {"min_col", "max_col", "min_row", "max_row", "values_only"}, 5, 0};
    PyObject* a[5];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    Bounds b;
    auto& first_min = ByRows ? b.min_row : b.min_col;
    auto& first_max = ByRows ? b.max_row : b.max_col;
    auto& second_min = ByRows ? b.min_col : b.min_row;
    auto& second_max = ByRows ? b.max_col : b.max_row;
    const auto& names = params.names;
    if (!arg_opt_u32(a[0], names[0], first_min) || !arg_opt_u32(a[1], names[1], first_max) ||
        !arg_opt_u32(a[2], names[2], second_min) || !arg_opt_u32(a[3], names[3], second_max))
        return nullptr;
    if (a[4] && !arg_bool(a[4], "values_only", b.values_only)) return nullptr;
    return iterate(self, b, ByRows);
}

PyObject* ws_rows(PyObject* self) { return iterate(self, Bounds{}, true); }
PyObject* ws_columns(PyObject* self) { return iterate(self, Bounds{}, false); }
PyObject* ws_values(PyObject* self) {
    Bounds b;
    b.values_only = true;
    return iterate(self, b, true);
}

// ---- used range and title ----

template <uint32_t UsedRange::*Field>
PyObject* ws_bound(PyObject* self) {
    auto v = with_sheet(view_of(self), [](Worksheet& ws) {
        const UsedRange& used = ws.used_range();
        return used.empty ? 1u : used.*Field;
    });
    if (!v) return nullptr;
    return PyLong_FromUnsignedLong(*v);
}

PyObject* ws_title(PyObject* self) {
    auto title = with_sheet(view_of(self), [](Worksheet& ws) { return ws.name; });
    if (!title) return nullptr;
    return PyUnicode_FromStringAndSize(title->data(), static_cast<Py_ssize_t>(title->size()));
}

// ---- append ----

// The column a dict key names, or 0 with ValueError set.
uint32_t dict_key_column(PyObject* key) {
    if (PyUnicode_Check(key)) {
        std::string_view text;
        if (!arg_str(key, "key", text)) return 0;
        const auto col = coords::column_number(text);
        if (!col) {
            PyErr_Format(PyExc_ValueError, "%s is not a valid column", quoted(text).c_str());
            return 0;
        }
        if (*col > kMaxColumn) {
            PyErr_Format(PyExc_ValueError, "column %s (index %llu) exceeds maximum (XFD / %u)", quoted(text).c_str(),
                         static_cast<unsigned long long>(*col), kMaxColumn);
            return 0;
        }
        return *col;
    }
    long long n = 0;
    bool is_int = false;
    if (PyLong_Check(key) || PyIndex_Check(key)) {
        PyRef idx = PyLong_Check(key) ? PyRef::borrow(key) : PyRef(PyNumber_Index(key));
        if (idx) {
            int overflow = 0;
            n = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
            is_int = overflow == 0 && !(n == -1 && PyErr_Occurred());
        }
    }
    if (!is_int) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "append dict keys must be column letters or 1-based integers");
        return 0;
    }
    if (n < 1 || n > kMaxColumn) {
        PyErr_Format(PyExc_ValueError, "column index %lld out of bounds; must be >= 1 and <= %u", n, kMaxColumn);
        return 0;
    }
    return static_cast<uint32_t>(n);
}

// The row a dict describes. Iterates the dict's own items view, so a dict changed by a value's conversion
// hook stops the call with the iterator's RuntimeError.
bool row_from_dict(PyObject* dict, std::vector<Value>& row) {
    PyRef items_method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "items"));
    if (!items_method) return false;
    PyRef items(PyObject_CallFunctionObjArgs(items_method.get(), dict, nullptr));
    if (!items) return false;
    PyRef iter(PyObject_GetIter(items.get()));
    if (!iter) return false;
    std::vector<std::pair<uint32_t, Value>> placed;
    uint32_t width = 0;
    while (PyRef pair{PyIter_Next(iter.get())}) {
        PyRef key = PyRef::borrow(PyTuple_GetItem(pair.get(), 0));
        PyRef value = PyRef::borrow(PyTuple_GetItem(pair.get(), 1));
        if (!key || !value) return false;
        pair = PyRef();  // lets the iterator reuse its tuple
        uint32_t col = dict_key_column(key.get());
        if (col == 0) return false;
        auto v = py_to_value(value.get());
        if (!v) return false;
        placed.emplace_back(col, std::move(*v));
        width = std::max(width, col);
    }
    if (PyErr_Occurred()) return false;
    row.assign(width, Value());
    for (auto& [col, v] : placed) row[col - 1] = std::move(v);
    return true;
}

bool row_from_iterable(PyObject* iterable, std::vector<Value>& row) {
    if (PyList_CheckExact(iterable)) {
        // A plain list is walked by position, as its iterator would (re-reading its length, so a
        // conversion that shrinks it ends the row), without making an iterator for every row.
        row.reserve(static_cast<size_t>(PyList_Size(iterable)));
        for (Py_ssize_t i = 0; i < PyList_Size(iterable); ++i) {
            PyRef item = PyRef::borrow(PyList_GetItem(iterable, i));
            if (!item) return false;
            auto v = py_to_value(item.get());
            if (!v) return false;
            row.push_back(std::move(*v));
        }
        return true;
    }
    PyRef iter(PyObject_GetIter(iterable));
    if (!iter) return false;
    // The stored length of a list or tuple subclass, not its __len__: that may fail, or claim a size
    // that would make the reservation itself fail.
    Py_ssize_t n = PyList_Check(iterable)    ? PyList_Size(iterable)
                   : PyTuple_Check(iterable) ? PyTuple_Size(iterable)
                                             : 0;
    if (n > 0) row.reserve(static_cast<size_t>(n));
    while (PyRef item{PyIter_Next(iter.get())}) {
        auto v = py_to_value(item.get());
        if (!v) return false;
        row.push_back(std::move(*v));
    }
    return !PyErr_Occurred();
}

PyObject* ws_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"append", {"iterable"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::vector<Value> row;
    bool ok = PyDict_Check(a[0]) ? row_from_dict(a[0], row) : row_from_iterable(a[0], row);
    if (!ok) return nullptr;
    auto done = with_sheet(view_of(self), [&](Worksheet& ws) { return ws.append(std::move(row)); });
    if (!done) return nullptr;
    if (!*done) return raise_velmo_error(std::move(done->error()));
    Py_RETURN_NONE;
}

PyMethodDef cell_methods[] = {
    {"cell", method(fastcall<ws_cell>), METH_FASTCALL | METH_KEYWORDS,
     "cell($self, *, row, column)\n--\n\nA snapshot of the cell at the 1-based row and column."},
    {"iter_rows", method(fastcall<ws_iter<true>>), METH_FASTCALL | METH_KEYWORDS,
     "iter_rows($self, min_row=None, max_row=None, min_col=None, max_col=None, values_only=False)\n--\n\n"
     "A list with one tuple per row of the rectangle (the used range for bounds not given)."},
    {"iter_cols", method(fastcall<ws_iter<false>>), METH_FASTCALL | METH_KEYWORDS,
     "iter_cols($self, min_col=None, max_col=None, min_row=None, max_row=None, values_only=False)\n--\n\n"
     "A list with one tuple per column of the rectangle (the used range for bounds not given)."},
    {"append", method(fastcall<ws_append>), METH_FASTCALL | METH_KEYWORDS,
     "append($self, iterable)\n--\n\n"
     "Writes the values into the row after the last one, from column A; a dict maps columns to values."},
};

PyGetSetDef cell_getset[] = {
    {"rows", getter<ws_rows>, nullptr, "Every row of the used range, as tuples of cells.", nullptr},
    {"columns", getter<ws_columns>, nullptr, "Every column of the used range, as tuples of cells.", nullptr},
    {"values", getter<ws_values>, nullptr, "Every row of the used range, as tuples of values.", nullptr},
    {"min_row", getter<ws_bound<&UsedRange::min_row>>, nullptr, "The smallest row holding a cell (1 if none).",
     nullptr},
    {"max_row", getter<ws_bound<&UsedRange::max_row>>, nullptr, "The largest row holding a cell (1 if none).",
     nullptr},
    {"min_column", getter<ws_bound<&UsedRange::min_col>>, nullptr,
     "The smallest column holding a cell (1 if none).", nullptr},
    {"max_column", getter<ws_bound<&UsedRange::max_col>>, nullptr, "The largest column holding a cell (1 if none).",
     nullptr},
    {"title", getter<ws_title>, nullptr, "The worksheet's title.", nullptr},
};

// The class's member tables: this file's members followed by the edits' (and add_table), each ending in a
// sentinel.
// They must outlive the class, which lives for the process.
std::vector<PyMethodDef>& all_methods() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> v(std::begin(cell_methods), std::end(cell_methods));
        for (auto more : {worksheet_edit_methods(), worksheet_table_methods()})
            v.insert(v.end(), more.begin(), more.end());
        v.push_back({nullptr, nullptr, 0, nullptr});
        return v;
    }();
    return methods;
}

std::vector<PyGetSetDef>& all_getset() {
    static std::vector<PyGetSetDef> getset = [] {
        std::vector<PyGetSetDef> v(std::begin(cell_getset), std::end(cell_getset));
        auto more = worksheet_edit_getset();
        v.insert(v.end(), more.begin(), more.end());
        v.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return v;
    }();
    return getset;
}

PyType_Slot worksheet_slots[] = {
    {Py_tp_doc, const_cast<char*>("A live view of one worksheet of a workbook.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {Py_tp_methods, nullptr},
    {Py_tp_getset, nullptr},
    {Py_mp_subscript, slot(binary_slot<ws_subscript>)},
    {Py_mp_ass_subscript, slot(ass_subscript_slot<ws_ass_subscript>)},
    {0, nullptr},
};

PyType_Spec worksheet_spec = {"velmo.Worksheet", box_size<SheetView>(), 0, Py_TPFLAGS_DEFAULT, worksheet_slots};

}  // namespace

PyType_Spec* worksheet_type_spec() {
    worksheet_slots[3].pfunc = all_methods().data();
    worksheet_slots[4].pfunc = all_getset().data();
    return &worksheet_spec;
}

PyObject* make_worksheet(const WorkbookHandle& workbook, size_t index) {
    return box_new<SheetView>(types().worksheet, workbook, index);
}

}  // namespace velmo::python
