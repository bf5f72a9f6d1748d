#pragma once
// "Workbook" and load_workbook.

#include <Python.h>

#include "python/workbook_lock.hpp"

namespace velmo::python {

PyType_Spec* workbook_type_spec();

// The handle a "Workbook" object holds.
const WorkbookHandle& workbook_handle(PyObject* workbook);

// load_workbook(path).
PyObject* load_workbook(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmo::python
