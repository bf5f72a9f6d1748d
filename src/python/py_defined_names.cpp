#include "python/py_defined_names.hpp"

#include <string>
#include <vector>

#include "model/defined_names.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"

namespace velmo::python {
namespace {

PyType_Slot defined_name_slots[] = {
    {Py_tp_doc, const_cast<char*>("A named formula.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<DefinedName>)},
    {0, nullptr},
};

PyType_Spec defined_name_spec = {"velmo.DefinedName", box_size<DefinedName>(), 0, Py_TPFLAGS_DEFAULT,
                                 defined_name_slots};

PyType_Slot defined_names_slots[] = {
    {Py_tp_doc, const_cast<char*>("The defined names of a workbook or of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<DefinedNamesView>)},
    {0, nullptr},
};

PyType_Spec defined_names_spec = {"velmo.DefinedNames", box_size<DefinedNamesView>(), 0, Py_TPFLAGS_DEFAULT,
                                  defined_names_slots};

// The names copied when the iterator was made, and the position of the next one.
struct NamesIter {
    std::vector<std::string> names;
    size_t next = 0;
};

PyType_Slot defined_names_iter_slots[] = {
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<NamesIter>)},
    {0, nullptr},
};

PyType_Spec defined_names_iter_spec = {"velmo.PyDefinedNamesIter", box_size<NamesIter>(), 0, Py_TPFLAGS_DEFAULT,
                                       defined_names_iter_slots};

}  // namespace

PyType_Spec* defined_name_type_spec() { return &defined_name_spec; }
PyType_Spec* defined_names_type_spec() { return &defined_names_spec; }
PyType_Spec* defined_names_iter_type_spec() { return &defined_names_iter_spec; }

PyObject* make_defined_names(const WorkbookHandle& workbook, std::optional<size_t> sheet_index) {
    return box_new<DefinedNamesView>(types().defined_names, workbook, sheet_index);
}

}  // namespace velmo::python
