#include "python/py_autofilter.hpp"

#include "python/guard.hpp"
#include "python/objects.hpp"

namespace velmo::python {
namespace {

PyType_Slot auto_filter_slots[] = {
    {Py_tp_doc, const_cast<char*>("The auto filter of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {0, nullptr},
};
PyType_Spec auto_filter_spec = {"velmo.AutoFilter", box_size<SheetView>(), 0, Py_TPFLAGS_DEFAULT, auto_filter_slots};

}  // namespace

PyType_Spec* auto_filter_type_spec() { return &auto_filter_spec; }

}  // namespace velmo::python
