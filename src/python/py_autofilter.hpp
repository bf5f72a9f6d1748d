#pragma once
// "AutoFilter": a live view of a worksheet's auto-filter range.

#include <Python.h>

namespace velmo::python {

PyType_Spec* auto_filter_type_spec();

}  // namespace velmo::python
