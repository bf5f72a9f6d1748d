// The module entry: makes the module "velmo" once per process and registers its functions and classes.

#include <Python.h>

#include "python/functions.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"
#include "python/py_autofilter.hpp"
#include "python/py_cell.hpp"
#include "python/py_conditional.hpp"
#include "python/py_defined_names.hpp"
#include "python/py_styles.hpp"
#include "python/py_tables.hpp"
#include "python/py_workbook.hpp"
#include "python/py_worksheet.hpp"
#include "python/pyref.hpp"

namespace velmo::python {

TypeRegistry& types() {
    static TypeRegistry registry;
    return registry;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name(PyType_GetName(type));
    if (!name) return nullptr;
    return PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

namespace {

PyMethodDef function_defs[] = {
    {"load_workbook", method(fastcall<load_workbook>), METH_FASTCALL | METH_KEYWORDS,
     "load_workbook(path)\n--\n\n"},
    {"get_column_letter", method(fastcall<get_column_letter>), METH_FASTCALL | METH_KEYWORDS,
     "get_column_letter(idx)\n--\n\nThe column letters of a 1-based column number (1 is A)."},
    {"column_index_from_string", method(fastcall<column_index_from_string>), METH_FASTCALL | METH_KEYWORDS,
     "column_index_from_string(letter)\n--\n\nThe 1-based column number of column letters (A is 1)."},
    {"dataframe_to_rows", method(fastcall<dataframe_to_rows>), METH_FASTCALL | METH_KEYWORDS,
     "dataframe_to_rows(df, index=True, header=True)\n--\n\n"
     "The rows of a data frame (header, index names, then data), ready for Worksheet.append."},
};

struct ClassEntry {
    const char* name;
    PyTypeObject* TypeRegistry::*slot;
    PyType_Spec* (*spec)();
};

const ClassEntry registered_classes[] = {
    {"Workbook", &TypeRegistry::workbook, workbook_type_spec},
    {"Worksheet", &TypeRegistry::worksheet, worksheet_type_spec},
    {"AutoFilter", &TypeRegistry::auto_filter, auto_filter_type_spec},
    {"Cell", &TypeRegistry::cell, cell_type_spec},
    {"Comment", &TypeRegistry::comment, comment_type_spec},
    {"Hyperlink", &TypeRegistry::hyperlink, hyperlink_type_spec},
    {"Font", &TypeRegistry::font, font_type_spec},
    {"Fill", &TypeRegistry::fill, fill_type_spec},
    {"PatternFill", &TypeRegistry::pattern_fill, pattern_fill_type_spec},
    {"Color", &TypeRegistry::color, color_type_spec},
    {"DefinedName", &TypeRegistry::defined_name, defined_name_type_spec},
    {"DefinedNames", &TypeRegistry::defined_names, defined_names_type_spec},
    {"Table", &TypeRegistry::table, table_type_spec},
    {"TableColumn", &TypeRegistry::table_column, table_column_type_spec},
    {"TableStyleInfo", &TypeRegistry::table_style_info, table_style_info_type_spec},
    {"FormulaRule", &TypeRegistry::formula_rule, formula_rule_type_spec},
    {"CellIsRule", &TypeRegistry::cell_is_rule, cell_is_rule_type_spec},
    {"ConditionalFormatting", &TypeRegistry::conditional_formatting, conditional_formatting_type_spec},
};

// Handed out as results only; not module attributes.
const ClassEntry unregistered_classes[] = {
    {"TableList", &TypeRegistry::table_list, table_list_type_spec},
    {"PyTableNamesIter", &TypeRegistry::table_names_iter, table_names_iter_type_spec},
    {"PyDefinedNamesIter", &TypeRegistry::defined_names_iter, defined_names_iter_type_spec},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmo",
    "",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets the attribute and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return false;
    PyRef text(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyTypeObject* make_type(const ClassEntry& entry) {
    PyTypeObject*& slot = types().*entry.slot;
    if (!slot) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(entry.spec()));
    return slot;
}

PyObject* init_module() {
    static bool initialised = false;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "velmo can only be initialised once per process");
        return nullptr;
    }
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    PyRef module_name(PyUnicode_FromString("velmo"));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : function_defs) {
        PyRef fn(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        if (!fn || !add_public(module.get(), all.get(), def.ml_name, fn.get())) return nullptr;
    }
    for (const ClassEntry& entry : registered_classes) {
        PyTypeObject* type = make_type(entry);
        if (!type || !add_public(module.get(), all.get(), entry.name, reinterpret_cast<PyObject*>(type)))
            return nullptr;
    }
    for (const ClassEntry& entry : unregistered_classes) {
        if (!make_type(entry)) return nullptr;
    }
    initialised = true;
    return module.release();
}

}  // namespace
}  // namespace velmo::python

PyMODINIT_FUNC PyInit_velmo() { return velmo::python::guard(velmo::python::init_module); }
