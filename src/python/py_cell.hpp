#pragma once
// "Cell", "Comment" and "Hyperlink": read-only snapshots that hold copies and never touch the workbook.

#include <Python.h>

#include "model/workbook.hpp"

namespace velmo::python {

PyType_Spec* cell_type_spec();
PyType_Spec* comment_type_spec();
PyType_Spec* hyperlink_type_spec();

// A new "Cell" that takes over the copy.
PyObject* make_cell(CellCopy&& copy);

}  // namespace velmo::python
