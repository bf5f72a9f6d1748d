#pragma once
// Owned Python references. Every new reference the binding creates lives in a PyRef until it is handed
// to the interpreter with release(), so an early return or a C++ exception cannot leak it.

#include <Python.h>

#include <utility>

namespace velmo::python {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
    // A new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(o.obj_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace velmo::python
