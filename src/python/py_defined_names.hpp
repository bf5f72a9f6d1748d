#pragma once
// "DefinedName", "DefinedNames" (a live view of the workbook's or a worksheet's names) and their iterator.

#include <Python.h>

#include <optional>

#include "python/workbook_lock.hpp"

namespace velmo::python {

PyType_Spec* defined_name_type_spec();
PyType_Spec* defined_names_type_spec();
PyType_Spec* defined_names_iter_type_spec();

// The names of the worksheet at sheet_index, or of the workbook when it is absent.
struct DefinedNamesView {
    WorkbookHandle workbook;
    std::optional<size_t> sheet_index;
};

// A new "DefinedNames" view; takes no lock.
PyObject* make_defined_names(const WorkbookHandle& workbook, std::optional<size_t> sheet_index);

}  // namespace velmo::python
