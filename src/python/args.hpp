#pragma once
// Argument matching and conversion. Every converter returns false (or an empty optional) with the Python
// exception set; wrong types raise TypeError "argument '{name}': {reason}", integers out of range raise
// OverflowError, and a str that is not encodable as UTF-8 raises the interpreter's UnicodeEncodeError.

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::python {

inline constexpr unsigned kMaxParams = 8;

// A function's parameters: names in signature order, how many may be passed by position (the rest are
// keyword-only) and which are required (bit i for parameter i).
struct Params {
    const char* func;
    std::array<const char*, kMaxParams> names{};
    unsigned count = 0;
    unsigned max_positional;
    uint32_t required;

    Params(const char* f, std::initializer_list<const char*> n, unsigned positional, uint32_t required_mask)
        : func(f), max_positional(positional), required(required_mask) {
        for (const char* name : n) names[count++] = name;
    }
    const char* name(unsigned i) const { return names[i]; }
};

// Matches a vectorcall argument list against the parameters; out[i] receives a borrowed reference or null
// when parameter i was not passed.
bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a constructor's argument tuple and keyword dict (kwargs may be null).
bool parse_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// TypeError "argument '{arg}': {reason}".
void raise_arg_type(const char* arg, const char* expected, PyObject* got);

// The object's UTF-8 text, valid as long as the object lives. Only str and its subclasses are accepted.
bool arg_str(PyObject* o, const char* arg, std::string_view& out);
// None (or an absent argument) gives an empty optional.
bool arg_opt_str(PyObject* o, const char* arg, std::optional<std::string>& out);
bool arg_u32(PyObject* o, const char* arg, uint32_t& out);
// None or absent gives an empty optional.
bool arg_opt_u32(PyObject* o, const char* arg, std::optional<uint32_t>& out);
bool arg_i64(PyObject* o, const char* arg, int64_t& out);
// A Python bool or a numpy boolean; nothing else.
bool arg_bool(PyObject* o, const char* arg, bool& out);

// True when o's type is numpy's boolean scalar type.
bool is_numpy_bool(PyObject* o);
// The truth of a numpy boolean through its type's __bool__, which must return a Python bool.
std::optional<bool> numpy_bool_value(PyObject* o);

// The type's qualified-free name as text ("int"), for messages.
std::string type_name(PyObject* o);

}  // namespace velmo::python
