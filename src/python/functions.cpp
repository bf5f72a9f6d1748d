#include "python/functions.hpp"

#include <string>

#include "model/coords.hpp"
#include "model/quoted.hpp"
#include "python/args.hpp"
#include "python/pyref.hpp"

namespace velmo::python {
namespace {

// A non-negative level count.
bool level_count(PyObject* labels, unsigned long long& out) {
    PyRef attr(PyObject_GetAttrString(labels, "nlevels"));
    if (!attr) return false;
    PyRef idx(PyNumber_Index(attr.get()));
    if (!idx) return false;
    out = PyLong_AsUnsignedLongLong(idx.get());
    return !PyErr_Occurred();
}

// Appends every item the object yields to the list.
bool extend(PyObject* list, PyObject* iterable) {
    PyRef iter(PyObject_GetIter(iterable));
    if (!iter) return false;
    while (PyRef item{PyIter_Next(iter.get())}) {
        if (PyList_Append(list, item.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

bool append_row(PyObject* rows, PyRef row) { return PyList_Append(rows, row.get()) == 0; }

}  // namespace

PyObject* get_column_letter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"get_column_letter", {"idx"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    uint32_t idx = 0;
    if (!arg_u32(a[0], "idx", idx)) return nullptr;
    if (idx == 0) return PyErr_Format(PyExc_ValueError, "Column index out of bounds: %u", idx);
    std::string name = coords::column_name(idx);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* column_index_from_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"column_index_from_string", {"letter"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view letter;
    if (!arg_str(a[0], "letter", letter)) return nullptr;
    const auto n = coords::column_number(letter);
    if (!n) return PyErr_Format(PyExc_ValueError, "%s is not a valid column", quoted(letter).c_str());
    return PyLong_FromUnsignedLongLong(*n);
}

PyObject* dataframe_to_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"dataframe_to_rows", {"df", "index", "header"}, 3, 0b1};
    PyObject* a[3];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* df = a[0];
    bool index = true, header = true;
    if (a[1] && !arg_bool(a[1], "index", index)) return nullptr;
    if (a[2] && !arg_bool(a[2], "header", header)) return nullptr;

    PyRef columns(PyObject_GetAttrString(df, "columns"));
    if (!columns) return nullptr;
    PyRef labels(PyObject_GetAttrString(df, "index"));
    if (!labels) return nullptr;
    unsigned long long column_levels = 0, index_levels = 0;
    if (!level_count(columns.get(), column_levels) || !level_count(labels.get(), index_levels)) return nullptr;
    if (column_levels > 1 || index_levels > 1) {
        PyErr_SetString(PyExc_NotImplementedError, "dataframe_to_rows: MultiIndex columns/index are not supported");
        return nullptr;
    }

    PyRef rows(PyList_New(0));
    if (!rows) return nullptr;
    if (header) {
        PyRef row(PyList_New(0));
        if (!row) return nullptr;
        if (index && index_levels != 0 && PyList_Append(row.get(), Py_None) < 0) return nullptr;
        if (!extend(row.get(), columns.get()) || !append_row(rows.get(), std::move(row))) return nullptr;
    }
    if (index) {
        PyRef names(PyObject_GetAttrString(labels.get(), "names"));
        if (!names) return nullptr;
        PyRef row(PyList_New(0));
        if (!row || !extend(row.get(), names.get()) || !append_row(rows.get(), std::move(row))) return nullptr;
    }

    PyRef label_iter(PyObject_GetIter(labels.get()));
    if (!label_iter) return nullptr;
    PyRef itertuples(PyObject_GetAttrString(df, "itertuples"));
    if (!itertuples) return nullptr;
    PyRef tuples(PyObject_CallFunctionObjArgs(itertuples.get(), Py_False, nullptr));
    if (!tuples) return nullptr;
    PyRef tuple_iter(PyObject_GetIter(tuples.get()));
    if (!tuple_iter) return nullptr;
    for (;;) {
        PyRef label(PyIter_Next(label_iter.get()));
        if (!label) {
            if (!PyErr_Occurred()) break;
            // Without the index column the label is never used, so a failure to produce it is dropped.
            if (index) return nullptr;
            PyErr_Clear();
        }
        PyRef tuple(PyIter_Next(tuple_iter.get()));
        if (!tuple) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        PyRef row(PyList_New(0));
        if (!row) return nullptr;
        if (index && PyList_Append(row.get(), label.get()) < 0) return nullptr;
        if (!extend(row.get(), tuple.get()) || !append_row(rows.get(), std::move(row))) return nullptr;
    }
    return rows.release();
}

}  // namespace velmo::python
