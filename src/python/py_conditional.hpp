#pragma once
// "FormulaRule", "CellIsRule" and the "ConditionalFormatting" view of a worksheet.

#include <Python.h>

#include "python/objects.hpp"

namespace velmo::python {

PyType_Spec* formula_rule_type_spec();
PyType_Spec* cell_is_rule_type_spec();
PyType_Spec* conditional_formatting_type_spec();

// A new "ConditionalFormatting" view of the same worksheet; takes no lock.
PyObject* make_conditional_formatting(const SheetView& sheet);

}  // namespace velmo::python
