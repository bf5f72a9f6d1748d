#pragma once
// "Worksheet": a live view of one worksheet (a workbook handle and a position). Its cell reads, writes,
// iteration and append live in py_worksheet.cpp; the edits and sheet settings in py_worksheet_edits.cpp.

#include <Python.h>

#include <span>

#include "python/objects.hpp"

namespace velmo::python {

PyType_Spec* worksheet_type_spec();

// A new "Worksheet" view of the worksheet at `index` (not checked: a stale view fails on use).
PyObject* make_worksheet(const WorkbookHandle& workbook, size_t index);

// The members defined by py_worksheet_edits.cpp, merged into the class when it is made.
std::span<const PyMethodDef> worksheet_edit_methods();
std::span<const PyGetSetDef> worksheet_edit_getset();

}  // namespace velmo::python
