#pragma once
// "FormulaRule", "CellIsRule" and the "ConditionalFormatting" view of a worksheet.

#include <Python.h>

namespace velmo::python {

PyType_Spec* formula_rule_type_spec();
PyType_Spec* cell_is_rule_type_spec();
PyType_Spec* conditional_formatting_type_spec();

}  // namespace velmo::python
