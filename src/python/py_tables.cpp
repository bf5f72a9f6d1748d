#include "python/py_tables.hpp"

#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "model/table.hpp"
#include "model/workbook.hpp"
#include "python/args.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"
#include "python/pyref.hpp"

namespace velmo::python {
namespace {

// A table found again by display name on every access, so it always shows the workbook as it is now.
struct AttachedTable {
    std::string display_name;  // exactly as the lookup was given it
    SheetView view;
};

// A detached table owns its record; an attached one refers to the workbook's. The variant never changes.
using TableBacking = std::variant<Table, AttachedTable>;

struct TableNamesIter {
    std::vector<std::string> names;
    size_t next = 0;
};

PyObject* new_str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* raise_key(std::string_view key) {
    PyRef k(new_str(key));
    if (k) PyErr_SetObject(PyExc_KeyError, k.get());
    return nullptr;
}

PyObject* str_list(const std::vector<std::string>& items) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* s = new_str(items[i]);
        if (!s) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* make_style_info(const TableStyleInfo& style) {
    return box_new<TableStyleInfo>(types().table_style_info, style);
}

// ---- TableColumn ----

PyObject* column_id(PyObject* self) { return PyLong_FromUnsignedLong(unbox<TableColumn>(self).id); }
PyObject* column_name(PyObject* self) { return new_str(unbox<TableColumn>(self).name); }

PyGetSetDef table_column_getset[] = {
    {"id", getter<column_id>, nullptr, "The column's 1-based id.", nullptr},
    {"name", getter<column_name>, nullptr, "The column's header name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_column_slots[] = {
    {Py_tp_doc, const_cast<char*>("A copy of one column of a table.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableColumn>)},
    {Py_tp_getset, table_column_getset},
    {0, nullptr},
};
PyType_Spec table_column_spec = {"velmo.TableColumn", box_size<TableColumn>(), 0, Py_TPFLAGS_DEFAULT,
                                 table_column_slots};

// ---- TableStyleInfo ----

PyObject* style_info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{
        "TableStyleInfo",
        {"name", "showFirstColumn", "showLastColumn", "showRowStripes", "showColumnStripes"},
        1,
        0b1};
    PyObject* a[5];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::string_view name;
    if (!arg_str(a[0], "name", name)) return nullptr;
    TableStyleInfo style;
    style.name = std::string(name);
    bool* flags[] = {&style.show_first_column, &style.show_last_column, &style.show_row_stripes,
                     &style.show_column_stripes};
    for (unsigned i = 1; i < 5; ++i) {
        if (a[i] && !arg_bool(a[i], params.name(i), *flags[i - 1])) return nullptr;
    }
    return box_new<TableStyleInfo>(type, std::move(style));
}

PyObject* style_name(PyObject* self) { return new_str(unbox<TableStyleInfo>(self).name); }

template <bool TableStyleInfo::*Flag>
PyObject* style_flag(PyObject* self) {
    return PyBool_FromLong(unbox<TableStyleInfo>(self).*Flag);
}

PyGetSetDef table_style_info_getset[] = {
    {"name", getter<style_name>, nullptr, "The table style's name.", nullptr},
    {"showFirstColumn", getter<style_flag<&TableStyleInfo::show_first_column>>, nullptr,
     "Whether the first column is emphasised.", nullptr},
    {"showLastColumn", getter<style_flag<&TableStyleInfo::show_last_column>>, nullptr,
     "Whether the last column is emphasised.", nullptr},
    {"showRowStripes", getter<style_flag<&TableStyleInfo::show_row_stripes>>, nullptr,
     "Whether rows are banded.", nullptr},
    {"showColumnStripes", getter<style_flag<&TableStyleInfo::show_column_stripes>>, nullptr,
     "Whether columns are banded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_style_info_slots[] = {
    {Py_tp_doc, const_cast<char*>(
         "TableStyleInfo(name, *, showFirstColumn=False, showLastColumn=False, showRowStripes=False, "
         "showColumnStripes=False)\n--\n\nThe style of a table: a style name and four display flags.")},
    {Py_tp_new, slot(new_slot<style_info_new>)},
    {Py_tp_dealloc, slot(box_dealloc<TableStyleInfo>)},
    {Py_tp_getset, table_style_info_getset},
    {0, nullptr},
};
PyType_Spec table_style_info_spec = {"velmo.TableStyleInfo", box_size<TableStyleInfo>(), 0, Py_TPFLAGS_DEFAULT,
                                     table_style_info_slots};

// ---- Table ----

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params{"Table", {"displayName", "ref"}, 2, 0b11};
    PyObject* a[2];
    if (!parse_args(params, args, kwargs, a)) return nullptr;
    std::string_view display_name, ref;
    if (!arg_str(a[0], "displayName", display_name) || !arg_str(a[1], "ref", ref)) return nullptr;
    return box_new<TableBacking>(type, Table::make(std::string(display_name), std::string(ref)));
}

// Reads one field of the table: the object's own record, or, for an attached table, the first table of
// its worksheet whose display name equals the stored one byte for byte, copied under the lock
// (`copy` is given the worksheet too when it takes it).
template <class Copy, class Build>
PyObject* table_read(PyObject* self, Copy copy, Build build) {
    const TableBacking& backing = unbox<TableBacking>(self);
    constexpr bool kInSheet = std::is_invocable_v<Copy, const Table&, const Worksheet*>;
    const auto copy_of = [&](const Table& t, const Worksheet* ws) {
        if constexpr (kInSheet) return copy(t, ws);
        else return copy(t);
    };
    if (const Table* own = std::get_if<Table>(&backing)) return build(copy_of(*own, nullptr));
    const AttachedTable& att = std::get<AttachedTable>(backing);
    using T = decltype(copy_of(std::declval<const Table&>(), nullptr));
    auto found = with_sheet(att.view, [&](Worksheet& ws) -> std::optional<T> {
        for (const SheetTable& st : ws.tables) {
            if (st.table.display_name == att.display_name) return copy_of(st.table, &ws);
        }
        return std::nullopt;
    });
    if (!found) return nullptr;
    if (!*found) return raise_key(att.display_name);
    return build(std::move(**found));
}

PyObject* table_name(PyObject* self) {
    return table_read(self, [](const Table& t) { return t.name; }, [](const std::string& s) { return new_str(s); });
}

PyObject* table_ref(PyObject* self) {
    return table_read(self, [](const Table& t) { return t.ref_range; },
                      [](const std::string& s) { return new_str(s); });
}

PyObject* table_display_name(PyObject* self) {
    return table_read(self, [](const Table& t) { return t.display_name; },
                      [](const std::string& s) { return new_str(s); });
}

// A table in a worksheet shows its columns as a save writes them: named as its header row shows.
PyObject* table_columns(PyObject* self) {
    return table_read(self,
                      [](const Table& t, const Worksheet* ws) {
                          auto named = ws ? table::columns_named_by_header(*ws, t) : std::nullopt;
                          return named ? std::move(*named) : t.columns;
                      },
                      [](std::vector<TableColumn> columns) -> PyObject* {
                          PyRef list(PyList_New(static_cast<Py_ssize_t>(columns.size())));
                          if (!list) return nullptr;
                          for (size_t i = 0; i < columns.size(); ++i) {
                              PyObject* c = box_new<TableColumn>(types().table_column, std::move(columns[i]));
                              if (!c) return nullptr;
                              PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), c);
                          }
                          return list.release();
                      });
}

PyObject* table_style(PyObject* self) {
    return table_read(self, [](const Table& t) { return t.style_info; },
                      [](const std::optional<TableStyleInfo>& style) -> PyObject* {
                          if (!style) Py_RETURN_NONE;
                          return make_style_info(*style);
                      });
}

int table_set_style(PyObject* self, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    std::optional<TableStyleInfo> style;
    if (value != Py_None) {
        if (Py_TYPE(value) != types().table_style_info) {
            raise_arg_type("value", "TableStyleInfo or None", value);
            return -1;
        }
        style = unbox<TableStyleInfo>(value);
    }
    TableBacking& backing = unbox<TableBacking>(self);
    if (Table* own = std::get_if<Table>(&backing)) {
        own->style_info = std::move(style);
        return 0;
    }
    const AttachedTable& att = std::get<AttachedTable>(backing);
    // table_mut matches without regard to ASCII case and marks a table read from a package as changed,
    // so the next save writes the new style instead of the bytes that were read.
    auto found = with_sheet(att.view, [&](Worksheet& ws) {
        Table* t = ws.table_mut(att.display_name);
        if (t) t->style_info = std::move(style);
        return t != nullptr;
    });
    if (!found) return -1;
    if (!*found) {
        raise_key(att.display_name);
        return -1;
    }
    return 0;
}

PyGetSetDef table_getset[] = {
    {"name", getter<table_name>, nullptr, "The table's name.", nullptr},
    {"ref", getter<table_ref>, nullptr, "The table's range, as given.", nullptr},
    {"displayName", getter<table_display_name>, nullptr, "The table's display name.", nullptr},
    {"tableColumns", getter<table_columns>, nullptr, "Copies of the table's columns, in order.", nullptr},
    {"tableStyleInfo", getter<table_style>, setter<table_set_style>, "The table's style, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(
         "Table(displayName, ref)\n--\n\n"
         "A worksheet table. One made here is detached and can be added with Worksheet.add_table; one looked up "
         "through Worksheet.tables is attached and reads and changes the workbook.")},
    {Py_tp_new, slot(new_slot<table_new>)},
    {Py_tp_dealloc, slot(box_dealloc<TableBacking>)},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};
PyType_Spec table_spec = {"velmo.Table", box_size<TableBacking>(), 0, Py_TPFLAGS_DEFAULT, table_slots};

// ---- TableList ----

const SheetView& list_view(PyObject* self) { return unbox<SheetView>(self); }

std::optional<std::vector<std::string>> display_names(PyObject* self) {
    return with_sheet(list_view(self), [](Worksheet& ws) {
        std::vector<std::string> names;
        names.reserve(ws.tables.size());
        for (const SheetTable& st : ws.tables) names.push_back(st.table.display_name);
        return names;
    });
}

PyObject* list_keys(PyObject* self, PyObject*) {
    auto names = display_names(self);
    if (!names) return nullptr;
    return str_list(*names);
}

Py_ssize_t list_length(PyObject* self) {
    auto count = with_sheet(list_view(self), [](Worksheet& ws) { return ws.tables.size(); });
    if (!count) return -1;
    return static_cast<Py_ssize_t>(*count);
}

PyObject* list_iter(PyObject* self) {
    auto names = display_names(self);
    if (!names) return nullptr;
    return box_new<TableNamesIter>(types().table_names_iter, TableNamesIter{std::move(*names), 0});
}

int list_contains(PyObject* self, PyObject* key) {
    std::string_view name;
    if (!arg_str(key, "name", name)) return -1;
    auto found = with_sheet(list_view(self), [&](Worksheet& ws) {
        for (const SheetTable& st : ws.tables) {
            if (st.table.display_name == name) return true;
        }
        return false;
    });
    if (!found) return -1;
    return *found ? 1 : 0;
}

PyObject* list_subscript(PyObject* self, PyObject* key) {
    std::string_view name;
    if (!arg_str(key, "name", name)) return nullptr;
    const SheetView& view = list_view(self);
    auto found = with_sheet(view, [&](Worksheet& ws) {
        for (const SheetTable& st : ws.tables) {
            if (st.table.display_name == name) return true;
        }
        return false;
    });
    if (!found) return nullptr;
    if (!*found) return raise_key(name);
    return box_new<TableBacking>(types().table, AttachedTable{std::string(name), view});
}

int list_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (value) {
        PyErr_SetString(PyExc_NotImplementedError, "can't set item");
        return -1;
    }
    std::string_view name;
    if (!arg_str(key, "name", name)) return -1;
    // The removed record (and the part it was read from) is dropped here; attached tables naming it then
    // fail their lookups.
    auto removed = with_sheet(list_view(self), [&](Worksheet& ws) { return ws.remove_table(name).has_value(); });
    if (!removed) return -1;
    if (!*removed) {
        raise_key(name);
        return -1;
    }
    return 0;
}

PyMethodDef table_list_methods[] = {
    {"keys", method(binary_slot<list_keys>), METH_NOARGS,
     "keys($self)\n--\n\nThe display names of the worksheet's tables, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_list_slots[] = {
    {Py_tp_doc, const_cast<char*>("The tables of one worksheet, by display name.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {Py_tp_methods, table_list_methods},
    {Py_tp_iter, slot(unary_slot<list_iter>)},
    {Py_mp_length, slot(length_slot<list_length>)},
    {Py_sq_length, slot(length_slot<list_length>)},
    {Py_mp_subscript, slot(binary_slot<list_subscript>)},
    {Py_mp_ass_subscript, slot(ass_subscript_slot<list_ass_subscript>)},
    {Py_sq_contains, slot(contains_slot<list_contains>)},
    {0, nullptr},
};
PyType_Spec table_list_spec = {"velmo.TableList", box_size<SheetView>(), 0, Py_TPFLAGS_DEFAULT, table_list_slots};

// ---- PyTableNamesIter ----

PyObject* names_iter_self(PyObject* self) { return Py_NewRef(self); }

PyObject* names_iter_next(PyObject* self) {
    TableNamesIter& it = unbox<TableNamesIter>(self);
    if (it.next >= it.names.size()) return nullptr;  // no exception set: the end of iteration
    return new_str(it.names[it.next++]);
}

PyType_Slot table_names_iter_slots[] = {
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableNamesIter>)},
    {Py_tp_iter, slot(unary_slot<names_iter_self>)},
    {Py_tp_iternext, slot(unary_slot<names_iter_next>)},
    {0, nullptr},
};
PyType_Spec table_names_iter_spec = {"velmo.PyTableNamesIter", box_size<TableNamesIter>(), 0, Py_TPFLAGS_DEFAULT,
                                     table_names_iter_slots};

// ---- Worksheet.add_table ----

PyObject* ws_add_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"add_table", {"table"}, 1, 0b1};
    PyObject* a[1];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    if (Py_TYPE(a[0]) != types().table) {
        raise_arg_type("table", "Table", a[0]);
        return nullptr;
    }
    const TableBacking& backing = unbox<TableBacking>(a[0]);
    const Table* detached = std::get_if<Table>(&backing);
    if (!detached) {
        PyErr_SetString(PyExc_ValueError, "Cannot add an attached table; use detached Table(...) constructor");
        return nullptr;
    }
    Table copy = *detached;
    const std::string display_name = copy.display_name;
    const SheetView& view = unbox<SheetView>(self);

    enum class Refusal { None, Duplicate, SheetMissing };
    Refusal refusal = Refusal::None;
    std::optional<VelmoError> error;
    auto locked = view.workbook->with([&](Workbook& wb) {
        // Display names are unique across the whole workbook, not just this sheet: the writer refuses a
        // package with two tables of one name.
        for (const Worksheet& ws : wb.sheets) {
            for (const SheetTable& st : ws.tables) {
                if (table_names_equal(st.table.display_name, display_name)) {
                    refusal = Refusal::Duplicate;
                    return;
                }
            }
        }
        if (view.sheet_index >= wb.sheets.size()) {
            refusal = Refusal::SheetMissing;
            return;
        }
        if (auto added = wb.sheets[view.sheet_index].add_table(std::move(copy)); !added)
            error = std::move(added.error());
    });
    if (!locked) return raise_lock_poisoned();
    switch (refusal) {
        case Refusal::Duplicate:
            return PendingError{PyExc_ValueError, "Table with name " + display_name + " already exists"}.raise();
        case Refusal::SheetMissing: return raise_sheet_missing();
        case Refusal::None: break;
    }
    if (error) return raise_velmo_error(std::move(*error));
    Py_RETURN_NONE;
}

const PyMethodDef worksheet_methods[] = {
    {"add_table", method(fastcall<ws_add_table>), METH_FASTCALL | METH_KEYWORDS,
     "add_table($self, table)\n--\n\n"
     "Adds a copy of a detached table to this worksheet; columns are named from the header row when the "
     "table has none."},
};

}  // namespace

PyType_Spec* table_type_spec() { return &table_spec; }
PyType_Spec* table_column_type_spec() { return &table_column_spec; }
PyType_Spec* table_style_info_type_spec() { return &table_style_info_spec; }
PyType_Spec* table_list_type_spec() { return &table_list_spec; }
PyType_Spec* table_names_iter_type_spec() { return &table_names_iter_spec; }

std::span<const PyMethodDef> worksheet_table_methods() { return worksheet_methods; }

}  // namespace velmo::python
