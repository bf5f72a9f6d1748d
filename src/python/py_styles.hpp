#pragma once
// "Font", "Fill", "PatternFill" and "Color": style records carried by value across the boundary.

#include <Python.h>

#include "model/styles.hpp"

namespace velmo::python {

PyType_Spec* font_type_spec();
PyType_Spec* fill_type_spec();
PyType_Spec* pattern_fill_type_spec();
PyType_Spec* color_type_spec();

PyObject* make_font(const Font& font);
PyObject* make_fill(const Fill& fill);
PyObject* make_color(const Color& color);

// The Fill of a "PatternFill" object, or null when o is not one (no exception set).
const Fill* pattern_fill_of(PyObject* o);
// The Font of a "Font" object, or null when o is not one (no exception set).
const Font* font_of(PyObject* o);

}  // namespace velmo::python
