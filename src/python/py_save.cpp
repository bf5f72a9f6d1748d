#include "python/py_save.hpp"

#include <optional>
#include <string_view>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/py_workbook.hpp"
#include "writer/writer.hpp"

namespace velmo::python {
namespace {

PyObject* workbook_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"save", {"path"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view path;
    if (!arg_str(a[0], "path", path)) return nullptr;
    // The error is mapped while the lock is held and raised once it is released.
    auto failed = workbook_handle(self)->with([&](Workbook& wb) -> std::optional<PendingError> {
        if (auto r = writer::write_xlsx(wb, path); !r) return map_velmo_error(std::move(r.error()));
        return std::nullopt;
    });
    if (!failed) return raise_lock_poisoned();
    if (*failed) return (*failed)->raise();
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef workbook_save_method() {
    return {"save", method(fastcall<workbook_save>), METH_FASTCALL | METH_KEYWORDS, "save($self, path)\n--\n\n"};
}

}  // namespace velmo::python
