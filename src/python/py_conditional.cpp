#include "python/py_conditional.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/conditional_formatting.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/py_styles.hpp"
#include "python/pyref.hpp"

namespace velmo::python {
namespace {

// A rule object holds the finished model rule (type, operator, formulas, format, stop flag); adding it to
// a worksheet copies it, so one rule object can be added any number of times.

// None or a sequence of str. A str is a sequence of str too, so it is refused by name: a lone formula
// passed without a list is almost always a mistake.
bool arg_formulas(PyObject* o, std::vector<std::string>& out) {
    if (!o || o == Py_None) return true;
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "argument 'formula': Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        raise_arg_type("formula", "a sequence of str", o);
        return false;
    }
    PyRef iter(PyObject_GetIter(o));
    if (!iter) return false;
    while (PyRef item{PyIter_Next(iter.get())}) {
        std::string_view text;
        if (!arg_str(item.get(), "formula", text)) return false;
        out.emplace_back(text);
    }
    return !PyErr_Occurred();
}

// The differential format of the optional "Font" and "PatternFill" arguments.
bool arg_dxf(PyObject* font, PyObject* fill, Dxf& out) {
    if (font && font != Py_None) {
        const Font* f = font_of(font);
        if (!f) {
            raise_arg_type("font", "Font or None", font);
            return false;
        }
        out.font = *f;
    }
    if (fill && fill != Py_None) {
        const Fill* f = pattern_fill_of(fill);
        if (!f) {
            raise_arg_type("fill", "PatternFill or None", fill);
            return false;
        }
        out.fill = *f;
    }
    return true;
}

bool arg_stop(PyObject* o, bool& out) {
    out = false;
    return !o || arg_bool(o, "stopIfTrue", out);
}

PyObject* formula_rule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{"FormulaRule", {"formula", "stopIfTrue", "font", "fill"}, 4, 0};
    PyObject* a[4];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::vector<std::string> formulas;
    bool stop = false;
    Dxf dxf;
    if (!arg_formulas(a[0], formulas) || !arg_stop(a[1], stop) || !arg_dxf(a[2], a[3], dxf)) return nullptr;
    ConditionalRule rule = ConditionalRule::formula(std::move(formulas), std::move(dxf));
    rule.stop_if_true = stop;
    return box_new<ConditionalRule>(type, std::move(rule));
}

PyObject* cell_is_rule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{"CellIsRule", {"operator", "formula", "stopIfTrue", "font", "fill"}, 5, 0};
    PyObject* a[5];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::optional<std::string> op;
    std::vector<std::string> formulas;
    bool stop = false;
    Dxf dxf;
    if (!arg_opt_str(a[0], "operator", op) || !arg_formulas(a[1], formulas) || !arg_stop(a[2], stop) ||
        !arg_dxf(a[3], a[4], dxf))
        return nullptr;
    // The operator is not checked against the known ones; None gives an empty (but present) operator.
    ConditionalRule rule = ConditionalRule::cell_is(op.value_or(std::string()), std::move(formulas), std::move(dxf));
    rule.stop_if_true = stop;
    return box_new<ConditionalRule>(type, std::move(rule));
}

PyObject* cf_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"add", {"sqref", "rule"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view sqref;
    if (!arg_str(a[0], "sqref", sqref)) return nullptr;
    PyTypeObject* kind = Py_TYPE(a[1]);
    if (kind != types().formula_rule && kind != types().cell_is_rule) {
        PyErr_SetString(PyExc_TypeError, "rule must be a FormulaRule or CellIsRule");
        return nullptr;
    }
    // Copied before locking; the model sets the priority and keeps the copy.
    ConditionalRule rule = unbox<ConditionalRule>(a[1]);
    auto done = with_sheet(unbox<SheetView>(self), [&](Worksheet& ws) {
        return ws.add_conditional_formatting(sqref, std::move(rule));
    });
    if (!done) return nullptr;
    if (!*done) return raise_velmo_error(std::move(done->error()));
    Py_RETURN_NONE;
}

PyType_Slot formula_rule_slots[] = {
    {Py_tp_doc, const_cast<char*>("FormulaRule(formula=None, stopIfTrue=False, font=None, fill=None)\n--\n\n"
                                  "A conditional formatting rule that applies when a formula is true.")},
    {Py_tp_new, slot(new_slot<formula_rule_new>)},
    {Py_tp_dealloc, slot(box_dealloc<ConditionalRule>)},
    {0, nullptr},
};
PyType_Spec formula_rule_spec = {"velmo.FormulaRule", box_size<ConditionalRule>(), 0, Py_TPFLAGS_DEFAULT,
                                 formula_rule_slots};

PyType_Slot cell_is_rule_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("CellIsRule(operator=None, formula=None, stopIfTrue=False, font=None, fill=None)\n--\n\n"
                       "A conditional formatting rule that compares the cell's value with the formulas.")},
    {Py_tp_new, slot(new_slot<cell_is_rule_new>)},
    {Py_tp_dealloc, slot(box_dealloc<ConditionalRule>)},
    {0, nullptr},
};
PyType_Spec cell_is_rule_spec = {"velmo.CellIsRule", box_size<ConditionalRule>(), 0, Py_TPFLAGS_DEFAULT,
                                 cell_is_rule_slots};

PyMethodDef conditional_formatting_methods[] = {
    {"add", method(fastcall<cf_add>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, sqref, rule)\n--\n\n"
     "Applies a copy of the rule to the space-separated ranges, after every rule already on the sheet."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot conditional_formatting_slots[] = {
    {Py_tp_doc, const_cast<char*>("The conditional formatting of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {Py_tp_methods, conditional_formatting_methods},
    {0, nullptr},
};
PyType_Spec conditional_formatting_spec = {"velmo.ConditionalFormatting", box_size<SheetView>(), 0,
                                           Py_TPFLAGS_DEFAULT, conditional_formatting_slots};

}  // namespace

PyType_Spec* formula_rule_type_spec() { return &formula_rule_spec; }
PyType_Spec* cell_is_rule_type_spec() { return &cell_is_rule_spec; }
PyType_Spec* conditional_formatting_type_spec() { return &conditional_formatting_spec; }

PyObject* make_conditional_formatting(const SheetView& sheet) {
    return box_new<SheetView>(types().conditional_formatting, sheet.workbook, sheet.sheet_index);
}

}  // namespace velmo::python
