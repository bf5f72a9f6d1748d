#include "python/py_autofilter.hpp"

#include <optional>
#include <string>

#include "python/args.hpp"
#include "python/guard.hpp"

namespace velmo::python {
namespace {

PyObject* af_get_ref(PyObject* self) {
    auto ref = with_sheet(unbox<SheetView>(self), [](Worksheet& ws) { return ws.auto_filter; });
    if (!ref) return nullptr;
    if (!*ref) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize((*ref)->data(), static_cast<Py_ssize_t>((*ref)->size()));
}

// The range is trimmed but not validated; None or blank text clears the filter. Either way the
// criteria the filter was loaded with are gone.
int af_set_ref(PyObject* self, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    std::optional<std::string> text;
    if (!arg_opt_str(value, "value", text)) return -1;
    auto done = with_sheet(unbox<SheetView>(self), [&](Worksheet& ws) { ws.set_auto_filter(text); });
    return done ? 0 : -1;
}

PyGetSetDef auto_filter_getset[] = {
    {"ref", getter<af_get_ref>, setter<af_set_ref>,
     "The filtered range, or None. Setting it starts a filter without the loaded one's criteria.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot auto_filter_slots[] = {
    {Py_tp_doc, const_cast<char*>("The auto filter of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {Py_tp_getset, auto_filter_getset},
    {0, nullptr},
};
PyType_Spec auto_filter_spec = {"velmo.AutoFilter", box_size<SheetView>(), 0, Py_TPFLAGS_DEFAULT, auto_filter_slots};

}  // namespace

PyType_Spec* auto_filter_type_spec() { return &auto_filter_spec; }

PyObject* make_auto_filter(const SheetView& sheet) {
    return box_new<SheetView>(types().auto_filter, sheet.workbook, sheet.sheet_index);
}

}  // namespace velmo::python
