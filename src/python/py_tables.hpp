#pragma once
// "Table", "TableColumn", "TableStyleInfo", and the unregistered "TableList" and its name iterator.

#include <Python.h>

namespace velmo::python {

PyType_Spec* table_type_spec();
PyType_Spec* table_column_type_spec();
PyType_Spec* table_style_info_type_spec();
PyType_Spec* table_list_type_spec();
PyType_Spec* table_names_iter_type_spec();

}  // namespace velmo::python
