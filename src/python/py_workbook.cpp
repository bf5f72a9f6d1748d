#include "python/py_workbook.hpp"

#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"
#include "python/py_defined_names.hpp"
#include "python/py_save.hpp"
#include "python/py_worksheet.hpp"
#include "python/pyref.hpp"
#include "reader/reader.hpp"

namespace velmo::python {
namespace {

// Index of the first worksheet whose title equals `title` byte for byte.
std::optional<size_t> find_title(const Workbook& wb, std::string_view title) {
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        if (wb.sheets[i].name == title) return i;
    }
    return std::nullopt;
}

PyObject* workbook_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{"Workbook", {}, 0, 0};
    PyObject* unused[1];
    if (!parse_args(params, args, kwargs, unused)) return nullptr;
    return box_new<WorkbookHandle>(type, make_handle(Workbook::make_new()));
}

PyObject* workbook_subscript(PyObject* self, PyObject* key) {
    std::string_view title;
    if (!arg_str(key, "title", title)) return nullptr;
    const WorkbookHandle& handle = unbox<WorkbookHandle>(self);
    auto found = handle->with([&](Workbook& wb) { return find_title(wb, title); });
    if (!found) return raise_lock_poisoned();
    if (!*found) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return make_worksheet(handle, **found);
}

PyObject* workbook_active(PyObject* self) {
    const WorkbookHandle& handle = unbox<WorkbookHandle>(self);
    // The worksheet at the active index itself: with two sheets of one title, the second can be active.
    auto index = handle->with([](Workbook& wb) -> std::optional<size_t> {
        if (wb.active_index >= wb.sheets.size()) return std::nullopt;
        return static_cast<size_t>(wb.active_index);
    });
    if (!index) return raise_lock_poisoned();
    if (!*index) Py_RETURN_NONE;
    return make_worksheet(handle, **index);
}

PyObject* workbook_sheetnames(PyObject* self) {
    auto titles = unbox<WorkbookHandle>(self)->with([](Workbook& wb) {
        std::vector<std::string> out;
        out.reserve(wb.sheets.size());
        for (const auto& ws : wb.sheets) out.push_back(ws.name);
        return out;
    });
    if (!titles) return raise_lock_poisoned();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(titles->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < titles->size(); ++i) {
        const auto& t = (*titles)[i];
        PyObject* s = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
        if (!s) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* workbook_worksheets(PyObject* self) {
    const WorkbookHandle& handle = unbox<WorkbookHandle>(self);
    auto count = handle->with([](Workbook& wb) { return wb.sheets.size(); });
    if (!count) return raise_lock_poisoned();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(*count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < *count; ++i) {
        PyObject* ws = make_worksheet(handle, i);
        if (!ws) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), ws);
    }
    return list.release();
}

PyObject* workbook_defined_names(PyObject* self) {
    return make_defined_names(unbox<WorkbookHandle>(self), std::nullopt);
}

PyMethodDef workbook_methods[] = {workbook_save_method(), {nullptr, nullptr, 0, nullptr}};

PyGetSetDef workbook_getset[] = {
    {"active", getter<workbook_active>, nullptr, "", nullptr},
    {"sheetnames", getter<workbook_sheetnames>, nullptr, "", nullptr},
    {"worksheets", getter<workbook_worksheets>, nullptr, "", nullptr},
    {"defined_names", getter<workbook_defined_names>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot workbook_slots[] = {
    {Py_tp_doc, const_cast<char*>("Workbook()\n--\n\n")},
    {Py_tp_new, slot(new_slot<workbook_new>)},
    {Py_tp_dealloc, slot(box_dealloc<WorkbookHandle>)},
    {Py_tp_getset, workbook_getset},
    {Py_tp_methods, workbook_methods},
    {Py_mp_subscript, slot(binary_slot<workbook_subscript>)},
    {0, nullptr},
};

PyType_Spec workbook_spec = {"velmo.Workbook", box_size<WorkbookHandle>(), 0, Py_TPFLAGS_DEFAULT, workbook_slots};

}  // namespace

PyType_Spec* workbook_type_spec() { return &workbook_spec; }

const WorkbookHandle& workbook_handle(PyObject* workbook) { return unbox<WorkbookHandle>(workbook); }

PyObject* load_workbook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"load_workbook", {"path"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    std::string_view path;
    if (!arg_str(a[0], "path", path)) return nullptr;
    auto wb = reader::open_workbook(path);
    if (!wb) return raise_velmo_error(std::move(wb.error()));
    return box_new<WorkbookHandle>(types().workbook, make_handle(std::move(*wb)));
}

}  // namespace velmo::python
