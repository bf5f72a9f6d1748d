#pragma once
// How the binding's Python objects are laid out: each is a Box holding one C++ value, made by box_new
// and destroyed by box_dealloc. The class objects are process-wide, made once by the module entry.

#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "python/errors.hpp"
#include "python/workbook_lock.hpp"

namespace velmo::python {

template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* o) {
    return reinterpret_cast<Box<T>*>(o)->value;
}

// A new instance of `type` (which must have been made with box_slots<T>) holding T(args...).
template <class T, class... A>
PyObject* box_new(PyTypeObject* type, A&&... args) {
    PyObject* o = PyType_GenericAlloc(type, 0);
    if (!o) return nullptr;
    try {
        new (&unbox<T>(o)) T(std::forward<A>(args)...);
    } catch (...) {
        // The value was never built, so the object must not run the destructor: free it raw.
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(o);
        Py_DECREF(type);
        throw;
    }
    return o;
}

template <class T>
void box_dealloc(PyObject* o) noexcept {
    unbox<T>(o).~T();
    PyTypeObject* type = Py_TYPE(o);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(o);
    Py_DECREF(type);
}

template <class T>
constexpr int box_size() {
    return static_cast<int>(sizeof(Box<T>));
}

// tp_new of every class that Python cannot construct: TypeError "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The classes, in registration order, then the unregistered ones handed out as results.
struct TypeRegistry {
    PyTypeObject* workbook = nullptr;
    PyTypeObject* worksheet = nullptr;
    PyTypeObject* auto_filter = nullptr;
    PyTypeObject* cell = nullptr;
    PyTypeObject* comment = nullptr;
    PyTypeObject* hyperlink = nullptr;
    PyTypeObject* font = nullptr;
    PyTypeObject* fill = nullptr;
    PyTypeObject* pattern_fill = nullptr;
    PyTypeObject* color = nullptr;
    PyTypeObject* defined_name = nullptr;
    PyTypeObject* defined_names = nullptr;
    PyTypeObject* table = nullptr;
    PyTypeObject* table_column = nullptr;
    PyTypeObject* table_style_info = nullptr;
    PyTypeObject* formula_rule = nullptr;
    PyTypeObject* cell_is_rule = nullptr;
    PyTypeObject* conditional_formatting = nullptr;
    PyTypeObject* table_list = nullptr;
    PyTypeObject* table_names_iter = nullptr;
    PyTypeObject* defined_names_iter = nullptr;
};

TypeRegistry& types();

// A live view of one worksheet: a handle clone and a position, never a pointer into the model
// ("Worksheet", "AutoFilter", "ConditionalFormatting", "TableList").
struct SheetView {
    WorkbookHandle workbook;
    size_t sheet_index;
};

template <class F>
using SheetResult = std::conditional_t<std::is_void_v<std::invoke_result_t<F, Worksheet&>>, std::monostate,
                                       std::invoke_result_t<F, Worksheet&>>;

// Runs fn(Worksheet&) under the workbook lock after checking the position. On a poisoned lock or a missing
// worksheet the Python exception is set once the lock is released and the result is empty. A void fn
// gives a std::monostate.
template <class F>
std::optional<SheetResult<F>> with_sheet(const SheetView& view, F&& fn) {
    bool missing = false;
    auto locked = view.workbook->with([&](Workbook& wb) -> std::optional<SheetResult<F>> {
        if (view.sheet_index >= wb.sheets.size()) {
            missing = true;
            return std::nullopt;
        }
        Worksheet& ws = wb.sheets[view.sheet_index];
        if constexpr (std::is_void_v<std::invoke_result_t<F, Worksheet&>>) {
            fn(ws);
            return std::monostate{};
        } else {
            return fn(ws);
        }
    });
    if (!locked) {
        raise_lock_poisoned();
        return std::nullopt;
    }
    if (missing) raise_sheet_missing();
    return std::move(*locked);
}

}  // namespace velmo::python
