#include "python/py_conditional.hpp"

#include "model/conditional_formatting.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"

namespace velmo::python {
namespace {

PyType_Slot formula_rule_slots[] = {
    {Py_tp_doc, const_cast<char*>("A conditional formatting rule that applies when a formula is true.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<ConditionalRule>)},
    {0, nullptr},
};
PyType_Spec formula_rule_spec = {"velmo.FormulaRule", box_size<ConditionalRule>(), 0, Py_TPFLAGS_DEFAULT,
                                 formula_rule_slots};

PyType_Slot cell_is_rule_slots[] = {
    {Py_tp_doc, const_cast<char*>("A conditional formatting rule that compares the cell's value.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<ConditionalRule>)},
    {0, nullptr},
};
PyType_Spec cell_is_rule_spec = {"velmo.CellIsRule", box_size<ConditionalRule>(), 0, Py_TPFLAGS_DEFAULT,
                                 cell_is_rule_slots};

PyType_Slot conditional_formatting_slots[] = {
    {Py_tp_doc, const_cast<char*>("The conditional formatting of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {0, nullptr},
};
PyType_Spec conditional_formatting_spec = {"velmo.ConditionalFormatting", box_size<SheetView>(), 0,
                                           Py_TPFLAGS_DEFAULT, conditional_formatting_slots};

}  // namespace

PyType_Spec* formula_rule_type_spec() { return &formula_rule_spec; }
PyType_Spec* cell_is_rule_type_spec() { return &cell_is_rule_spec; }
PyType_Spec* conditional_formatting_type_spec() { return &conditional_formatting_spec; }

}  // namespace velmo::python
