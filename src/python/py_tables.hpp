#pragma once
// "Table", "TableColumn", "TableStyleInfo", and the unregistered "TableList" and its name iterator.

#include <Python.h>

#include <span>

namespace velmo::python {

PyType_Spec* table_type_spec();
PyType_Spec* table_column_type_spec();
PyType_Spec* table_style_info_type_spec();
PyType_Spec* table_list_type_spec();
PyType_Spec* table_names_iter_type_spec();

// Worksheet.add_table, merged into the "Worksheet" class when it is made.
std::span<const PyMethodDef> worksheet_table_methods();

}  // namespace velmo::python
