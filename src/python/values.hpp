#pragma once
// Cell values across the boundary: Python objects into model values before the workbook is locked,
// model values into Python objects after it is released. Neither direction touches a workbook, except
// value_grid_to_py_tuples, which reads the values in place under the lock.

#include <Python.h>

#include <optional>
#include <vector>

#include "model/value.hpp"
#include "model/workbook.hpp"

namespace velmo::python {

// The model value of a Python object, or an empty optional with the Python exception set.
std::optional<Value> py_to_value(PyObject* o);

// A new Python object for the value, or null with the exception set.
PyObject* value_to_py(const Value& v);

// A list with one tuple per row: "Cell" snapshots taking over the copies, or the converted values.
// The first value that cannot be converted fails the whole call.
PyObject* rows_to_py_tuples(std::vector<std::vector<CellCopy>>&& rows, bool values_only);

// A list with one tuple of converted values per line of the grid. The grid points into a worksheet, so
// this runs under the workbook's lock; the cyclic collector is held off meanwhile, so no Python code
// (a finaliser) can run and reach the workbook while it is locked.
PyObject* value_grid_to_py_tuples(const ValueGrid& grid);

// Looks the datetime classes up (importing the module the first time) so that a later conversion under
// a workbook lock runs no import. False with a Python error set on failure.
bool load_datetime_types();

}  // namespace velmo::python
