#pragma once
// The boundary between Python and C++: every entry from the interpreter runs inside guard(), which turns
// a C++ exception into a Python one instead of letting it end the process. Memory exhaustion becomes
// MemoryError; anything else is an internal failure, raised as an exception that derives directly from
// BaseException so that `except Exception` does not swallow a broken invariant.

#include <Python.h>

#include <exception>
#include <new>
#include <string>

namespace velmo::python {

// The internal-failure exception class, created on first use (borrowed reference; null if creation failed).
PyObject* internal_error_type();
// Sets the internal-failure exception with the given message.
void raise_internal(const char* message);
// Translates the exception being handled (call only inside a catch block).
void raise_current_exception() noexcept;

template <class F>
PyObject* guard(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

template <class F>
int guard_int(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

// Adapters that give a plain C++ function the calling convention of a slot, inside guard().
using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastcallFn F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return F(self, args, nargs, kwnames); });
}

template <PyObject* (*F)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
    return guard([&] { return F(self); });
}

template <int (*F)(PyObject*, PyObject*)>
int setter(PyObject* self, PyObject* value, void*) noexcept {
    return guard_int([&] { return F(self, value); });
}

template <PyObject* (*F)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] { return F(type, args, kwargs); });
}

template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* binary_slot(PyObject* self, PyObject* arg) noexcept {
    return guard([&] { return F(self, arg); });
}

template <PyObject* (*F)(PyObject*)>
PyObject* unary_slot(PyObject* self) noexcept {
    return guard([&] { return F(self); });
}

template <int (*F)(PyObject*, PyObject*, PyObject*)>
int ass_subscript_slot(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guard_int([&] { return F(self, key, value); });
}

template <int (*F)(PyObject*, PyObject*)>
int contains_slot(PyObject* self, PyObject* key) noexcept {
    return guard_int([&] { return F(self, key); });
}

template <Py_ssize_t (*F)(PyObject*)>
Py_ssize_t length_slot(PyObject* self) noexcept {
    try {
        return F(self);
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

// Casts a slot function to the pointer type the slot tables hold.
template <class Fn>
void* slot(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

template <class Fn>
PyCFunction method(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace velmo::python
