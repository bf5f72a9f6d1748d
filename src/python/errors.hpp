#pragma once
// Library errors as Python exceptions. The mapping picks the class and the text while the workbook lock
// may still be held; the Python exception object is made only by raise(), after the lock is released.

#include <Python.h>

#include <string>

#include "model/error.hpp"

namespace velmo::python {

struct PendingError {
    PyObject* type;  // a built-in exception class (borrowed, lives for the process)
    std::string message;

    // Sets the exception; returns null so a caller can `return err.raise();`.
    PyObject* raise() const;
};

PendingError map_velmo_error(VelmoError error);

// map_velmo_error(error).raise().
PyObject* raise_velmo_error(VelmoError error);

// The refusals every locked call shares.
PyObject* raise_lock_poisoned();
PyObject* raise_sheet_missing();

}  // namespace velmo::python
