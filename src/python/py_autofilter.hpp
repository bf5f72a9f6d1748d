#pragma once
// "AutoFilter": a live view of a worksheet's auto-filter range.

#include <Python.h>

#include "python/objects.hpp"

namespace velmo::python {

PyType_Spec* auto_filter_type_spec();

// A new "AutoFilter" view of the same worksheet; takes no lock.
PyObject* make_auto_filter(const SheetView& sheet);

}  // namespace velmo::python
