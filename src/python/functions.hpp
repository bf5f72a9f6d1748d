#pragma once
// The module functions that need no workbook.

#include <Python.h>

namespace velmo::python {

PyObject* get_column_letter(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* column_index_from_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dataframe_to_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmo::python
