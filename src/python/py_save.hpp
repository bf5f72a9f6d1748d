#pragma once
// Workbook.save(path).

#include <Python.h>

namespace velmo::python {

// The method table entry of "Workbook".save.
PyMethodDef workbook_save_method();

}  // namespace velmo::python
