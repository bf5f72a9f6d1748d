#include "python/guard.hpp"

namespace velmo::python {

PyObject* internal_error_type() {
    // Process-wide: the module exists at most once per process, and the class is never released.
    static PyObject* type = nullptr;
    if (!type) type = PyErr_NewException("velmo.InternalError", PyExc_BaseException, nullptr);
    return type;
}

void raise_internal(const char* message) {
    PyObject* type = internal_error_type();
    if (!type) return;  // creating the class failed; its own exception is already set
    PyErr_SetString(type, message);
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("internal failure");
    }
}

}  // namespace velmo::python
