#include "python/py_defined_names.hpp"

#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "model/defined_names.hpp"
#include "model/quoted.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"
#include "python/pyref.hpp"

namespace velmo::python {
namespace {

PyObject* new_str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// ---- DefinedName ----

PyObject* defined_name_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{"DefinedName", {"name", "value", "comment", "hidden"}, 2, 0b11};
    PyObject* a[4];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::string_view name, value;
    std::optional<std::string> comment;
    bool hidden = false;
    if (!arg_str(a[0], "name", name) || !arg_str(a[1], "value", value) || !arg_opt_str(a[2], "comment", comment))
        return nullptr;
    // An explicit None is refused: the flag has no absent state.
    if (a[3] && !arg_bool(a[3], "hidden", hidden)) return nullptr;
    DefinedName dn = DefinedName::make(std::string(name), std::string(value));
    dn.comment = std::move(comment);
    dn.hidden = hidden;
    return box_new<DefinedName>(type, std::move(dn));
}

PyObject* dn_name(PyObject* self) { return new_str(unbox<DefinedName>(self).name); }
PyObject* dn_value(PyObject* self) { return new_str(unbox<DefinedName>(self).value); }
PyObject* dn_comment(PyObject* self) {
    const auto& comment = unbox<DefinedName>(self).comment;
    if (!comment) Py_RETURN_NONE;
    return new_str(*comment);
}
PyObject* dn_hidden(PyObject* self) { return PyBool_FromLong(unbox<DefinedName>(self).hidden); }
PyObject* dn_none(PyObject*) { Py_RETURN_NONE; }

PyObject* dn_repr(PyObject* self) {
    const DefinedName& dn = unbox<DefinedName>(self);
    return new_str("DefinedName(name=" + quoted(dn.name) + ", value=" + quoted(dn.value) + ")");
}

PyGetSetDef defined_name_getset[] = {
    {"name", getter<dn_name>, nullptr, "The name.", nullptr},
    {"value", getter<dn_value>, nullptr, "The formula the name stands for.", nullptr},
    {"comment", getter<dn_comment>, nullptr, "The comment, or None.", nullptr},
    {"hidden", getter<dn_hidden>, nullptr, "Whether the name is hidden.", nullptr},
    {"is_reserved", getter<dn_none>, nullptr, "Always None.", nullptr},
    {"localSheetId", getter<dn_none>, nullptr, "Always None; the scope is the collection the name is in.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot defined_name_slots[] = {
    {Py_tp_doc, const_cast<char*>("DefinedName(name, value, *, comment=None, hidden=False)\n--\n\n"
                                  "A named formula, held by value.")},
    {Py_tp_new, slot(new_slot<defined_name_new>)},
    {Py_tp_dealloc, slot(box_dealloc<DefinedName>)},
    {Py_tp_getset, defined_name_getset},
    {Py_tp_repr, slot(unary_slot<dn_repr>)},
    {0, nullptr},
};

PyType_Spec defined_name_spec = {"velmo.DefinedName", box_size<DefinedName>(), 0, Py_TPFLAGS_DEFAULT,
                                 defined_name_slots};

// ---- DefinedNames ----

template <class F>
using NamesResult = std::conditional_t<std::is_void_v<std::invoke_result_t<F, DefinedNames&>>, std::monostate,
                                       std::invoke_result_t<F, DefinedNames&>>;

// Runs fn(DefinedNames&) on the view's collection under the workbook lock. A poisoned lock or a sheet
// position past the last worksheet sets the Python exception (after unlocking) and gives nothing. A stale
// sheet scope is a RuntimeError here, not the KeyError of the other views.
template <class F>
std::optional<NamesResult<F>> with_names(const DefinedNamesView& view, F&& fn) {
    bool missing = false;
    auto locked = view.workbook->with([&](Workbook& wb) -> std::optional<NamesResult<F>> {
        DefinedNames* names = &wb.defined_names;
        if (view.sheet_index) {
            if (*view.sheet_index >= wb.sheets.size()) {
                missing = true;
                return std::nullopt;
            }
            names = &wb.sheets[*view.sheet_index].defined_names;
        }
        if constexpr (std::is_void_v<std::invoke_result_t<F, DefinedNames&>>) {
            fn(*names);
            return std::monostate{};
        } else {
            return fn(*names);
        }
    });
    if (!locked) {
        raise_lock_poisoned();
        return std::nullopt;
    }
    if (missing) PyErr_SetString(PyExc_RuntimeError, "Worksheet not found");
    return std::move(*locked);
}

const DefinedNamesView& names_view(PyObject* self) { return unbox<DefinedNamesView>(self); }

// The record of a "DefinedName", or null with TypeError naming `defined_name`.
const DefinedName* defined_name_arg(PyObject* o) {
    if (Py_TYPE(o) != types().defined_name) {
        raise_arg_type("defined_name", "DefinedName", o);
        return nullptr;
    }
    return &unbox<DefinedName>(o);
}

PyObject* add_copy(PyObject* self, DefinedName dn) {
    auto added = with_names(names_view(self), [&](DefinedNames& names) { return names.add(std::move(dn)); });
    if (!added) return nullptr;
    if (!*added) return raise_velmo_error(std::move(added->error()));
    Py_RETURN_NONE;
}

PyObject* names_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"add", {"defined_name"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    const DefinedName* dn = defined_name_arg(a[0]);
    if (!dn) return nullptr;
    return add_copy(self, *dn);
}

std::optional<std::vector<std::string>> copy_names(PyObject* self) {
    return with_names(names_view(self), [](DefinedNames& names) { return names.names(); });
}

PyObject* names_keys(PyObject* self, PyObject*) {
    auto names = copy_names(self);
    if (!names) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(names->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < names->size(); ++i) {
        PyObject* s = new_str((*names)[i]);
        if (!s) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

Py_ssize_t names_length(PyObject* self) {
    auto count = with_names(names_view(self), [](DefinedNames& names) { return names.size(); });
    if (!count) return -1;
    return static_cast<Py_ssize_t>(*count);
}

// The names copied when the iterator was made, and the position of the next one.
struct NamesIter {
    std::vector<std::string> names;
    size_t next = 0;
};

PyObject* names_iter(PyObject* self) {
    auto names = copy_names(self);
    if (!names) return nullptr;
    return box_new<NamesIter>(types().defined_names_iter, NamesIter{std::move(*names), 0});
}

PyObject* names_subscript(PyObject* self, PyObject* key) {
    std::string_view name;
    if (!arg_str(key, "name", name)) return nullptr;
    auto found = with_names(names_view(self), [&](DefinedNames& names) -> std::optional<DefinedName> {
        if (const DefinedName* dn = names.find(name)) return *dn;
        return std::nullopt;
    });
    if (!found) return nullptr;
    if (!*found) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return box_new<DefinedName>(types().defined_name, std::move(**found));
}

int names_contains(PyObject* self, PyObject* key) {
    std::string_view name;
    if (!arg_str(key, "name", name)) return -1;
    auto found = with_names(names_view(self), [&](DefinedNames& names) { return names.find(name) != nullptr; });
    if (!found) return -1;
    return *found ? 1 : 0;
}

int names_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    std::string_view name;
    if (!arg_str(key, "name", name)) return -1;
    if (!value) {
        auto removed = with_names(names_view(self), [&](DefinedNames& names) { return names.remove(name); });
        if (!removed) return -1;
        if (!*removed) {
            PyErr_SetObject(PyExc_KeyError, key);
            return -1;
        }
        return 0;
    }
    const DefinedName* dn = defined_name_arg(value);
    if (!dn) return -1;
    if (dn->name != name) {
        PendingError{PyExc_ValueError,
                     "key " + quoted(name) + " does not match DefinedName.name " + quoted(dn->name)}
            .raise();
        return -1;
    }
    PyRef done(add_copy(self, *dn));
    return done ? 0 : -1;
}

PyMethodDef defined_names_methods[] = {
    {"add", method(fastcall<names_add>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, defined_name)\n--\n\n"
     "Adds a copy of the name, replacing in place an entry of the same name."},
    {"keys", method(binary_slot<names_keys>), METH_NOARGS, "keys($self)\n--\n\nThe names, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot defined_names_slots[] = {
    {Py_tp_doc, const_cast<char*>("The defined names of a workbook or of one worksheet.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<DefinedNamesView>)},
    {Py_tp_methods, defined_names_methods},
    {Py_tp_iter, slot(unary_slot<names_iter>)},
    {Py_mp_length, slot(length_slot<names_length>)},
    {Py_sq_length, slot(length_slot<names_length>)},
    {Py_mp_subscript, slot(binary_slot<names_subscript>)},
    {Py_mp_ass_subscript, slot(ass_subscript_slot<names_ass_subscript>)},
    {Py_sq_contains, slot(contains_slot<names_contains>)},
    {0, nullptr},
};

PyType_Spec defined_names_spec = {"velmo.DefinedNames", box_size<DefinedNamesView>(), 0, Py_TPFLAGS_DEFAULT,
                                  defined_names_slots};

// ---- PyDefinedNamesIter ----

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

PyObject* iter_next(PyObject* self) {
    NamesIter& it = unbox<NamesIter>(self);
    if (it.next >= it.names.size()) return nullptr;  // no exception set: the end of iteration
    return new_str(it.names[it.next++]);
}

PyType_Slot defined_names_iter_slots[] = {
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<NamesIter>)},
    {Py_tp_iter, slot(unary_slot<iter_self>)},
    {Py_tp_iternext, slot(unary_slot<iter_next>)},
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
