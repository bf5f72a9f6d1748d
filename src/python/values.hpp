#pragma once
// Cell values across the boundary: Python objects into model values before the workbook is locked,
// model values into Python objects after it is released. Neither direction touches a workbook: both may
// run Python code (a class standing in for one of the datetime module's, a finaliser).

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

// A list with one tuple per row of new "Cell" snapshots, which take over the copies.
PyObject* rows_to_py_tuples(std::vector<std::vector<CellCopy>>&& rows);

// A list with one tuple of converted values per line of the block; each band is freed once converted.
// The first value that cannot be converted fails the whole call.
PyObject* value_block_to_py_tuples(ValueBlock&& block);

}  // namespace velmo::python
