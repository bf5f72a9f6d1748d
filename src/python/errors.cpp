#include "python/errors.hpp"

#include <cerrno>
#include <string>
#include <utility>

namespace velmo::python {
namespace {

// The OSError subclass Python itself would pick for the errno, so `except FileNotFoundError` works; the
// exception still carries the one message argument.
PyObject* os_error_class(int err) {
    switch (err) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EEXIST: return PyExc_FileExistsError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        default: return PyExc_OSError;
    }
}

// "io: {description} (os error N)", the form callers see for every operating-system failure.
std::string io_display(const VelmoError& error) {
    std::string text = error.display();
    if (error.os_errno != 0) {
        std::string suffix = " (os error " + std::to_string(error.os_errno) + ")";
        if (!text.ends_with(suffix)) text += suffix;
    }
    return text;
}

}  // namespace

PyObject* PendingError::raise() const {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (!text) {
        // Undecodable bytes in a message must not hide the error itself.
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
        if (!text) return nullptr;
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

PendingError map_velmo_error(VelmoError error) {
    switch (error.kind) {
        case ErrorKind::Io: return {os_error_class(error.os_errno), io_display(error)};
        case ErrorKind::Zip:
        case ErrorKind::Xml: return {PyExc_OSError, error.display()};
        case ErrorKind::InvalidFormat:
        case ErrorKind::MissingPart: return {PyExc_ValueError, std::move(error.message)};
        case ErrorKind::DuplicateTableName:
        case ErrorKind::TableIntersection: return {PyExc_ValueError, error.display()};
        case ErrorKind::TranslateUnsupported: return {PyExc_NotImplementedError, error.display()};
    }
    return {PyExc_ValueError, error.display()};
}

PyObject* raise_velmo_error(VelmoError error) { return map_velmo_error(std::move(error)).raise(); }

PyObject* raise_lock_poisoned() {
    PyErr_SetString(PyExc_RuntimeError, "Workbook lock poisoned");
    return nullptr;
}

PyObject* raise_sheet_missing() {
    PyErr_SetString(PyExc_KeyError, "Worksheet not found");
    return nullptr;
}

}  // namespace velmo::python
