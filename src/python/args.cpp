#include "python/args.hpp"

#include <cstring>

#include "python/pyref.hpp"

namespace velmo::python {
namespace {

int find_param(const Params& p, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (unsigned i = 0; i < p.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return static_cast<int>(i);
    }
    return -1;
}

bool place_keyword(const Params& p, PyObject* key, PyObject* value, PyObject** out) {
    int i = find_param(p, key);
    if (i < 0) {
        if (PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.func);
        }
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.func, p.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool place_positional(const Params& p, Py_ssize_t nargs, PyObject** out, PyObject* const* args) {
    if (static_cast<size_t>(nargs) > p.max_positional) {
        if (p.max_positional == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments (%zd given)", p.func, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %u positional arguments (%zd given)", p.func,
                         p.max_positional, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

bool check_required(const Params& p, PyObject** out) {
    for (unsigned i = 0; i < p.count; ++i) {
        if ((p.required >> i & 1u) && !out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", p.func, p.names[i]);
            return false;
        }
    }
    return true;
}

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An int or an object with __index__ as a new int reference; TypeError naming the argument otherwise.
PyRef to_index(PyObject* o, const char* arg) {
    if (PyLong_Check(o)) return PyRef::borrow(o);
    if (!PyIndex_Check(o)) {
        raise_arg_type(arg, "an integer", o);
        return PyRef();
    }
    return PyRef(PyNumber_Index(o));
}

}  // namespace

bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const size_t n = p.count;
    for (size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (!place_positional(p, nargs, out, args)) return false;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(p, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_required(p, out);
}

bool parse_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    const size_t n = p.count;
    for (size_t i = 0; i < n; ++i) out[i] = nullptr;
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (static_cast<size_t>(nargs) > p.max_positional) return place_positional(p, nargs, out, nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(p, key, value, out)) return false;
        }
    }
    return check_required(p, out);
}

std::string type_name(PyObject* o) {
    PyRef name(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (!text) {
        PyErr_Clear();
        return "object";
    }
    return std::string(text, static_cast<size_t>(len));
}

void raise_arg_type(const char* arg, const char* expected, PyObject* got) {
    std::string got_name = type_name(got);
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", arg, expected, got_name.c_str());
}

bool arg_str(PyObject* o, const char* arg, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_arg_type(arg, "str", o);
        return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (!text) return false;
    out = std::string_view(text, static_cast<size_t>(len));
    return true;
}

bool arg_opt_str(PyObject* o, const char* arg, std::optional<std::string>& out) {
    if (!o || o == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(o)) {
        raise_arg_type(arg, "str or None", o);
        return false;
    }
    std::string_view text;
    if (!arg_str(o, arg, text)) return false;
    out.emplace(text);
    return true;
}

bool arg_u32(PyObject* o, const char* arg, uint32_t& out) {
    PyRef idx = to_index(o, arg);
    if (!idx) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
        raise_out_of_range();
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool arg_opt_u32(PyObject* o, const char* arg, std::optional<uint32_t>& out) {
    if (!o || o == Py_None) {
        out.reset();
        return true;
    }
    uint32_t v = 0;
    if (!arg_u32(o, arg, v)) return false;
    out = v;
    return true;
}

bool arg_i64(PyObject* o, const char* arg, int64_t& out) {
    PyRef idx = to_index(o, arg);
    if (!idx) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        raise_out_of_range();
        return false;
    }
    out = v;
    return true;
}

bool is_numpy_bool(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    // Cheap rejection of the common built-in types before any attribute lookup.
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyUnicode_CheckExact(o) || o == Py_None) return false;
    PyRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return false;
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

std::optional<bool> numpy_bool_value(PyObject* o) {
    PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__bool__"));
    if (!method) return std::nullopt;
    PyRef result(PyObject_CallFunctionObjArgs(method.get(), o, nullptr));
    if (!result) return std::nullopt;
    if (!PyBool_Check(result.get())) {
        PyErr_SetString(PyExc_TypeError, "__bool__ should return bool");
        return std::nullopt;
    }
    return result.get() == Py_True;
}

bool arg_bool(PyObject* o, const char* arg, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    if (is_numpy_bool(o)) {
        auto v = numpy_bool_value(o);
        if (!v) return false;
        out = *v;
        return true;
    }
    raise_arg_type(arg, "bool", o);
    return false;
}

}  // namespace velmo::python
