#include "python/py_tables.hpp"

#include <string>
#include <variant>
#include <vector>

#include "model/table.hpp"
#include "python/guard.hpp"
#include "python/objects.hpp"

namespace velmo::python {
namespace {

// A table found again by display name on every access.
struct AttachedTable {
    std::string display_name;
    WorkbookHandle workbook;
    size_t sheet_index;
};

// A detached table owns its record; an attached one refers to the workbook's.
using TableBacking = std::variant<Table, AttachedTable>;

struct TableNamesIter {
    std::vector<std::string> names;
    size_t next = 0;
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A worksheet table.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableBacking>)},
    {0, nullptr},
};
PyType_Spec table_spec = {"velmo.Table", box_size<TableBacking>(), 0, Py_TPFLAGS_DEFAULT, table_slots};

PyType_Slot table_column_slots[] = {
    {Py_tp_doc, const_cast<char*>("A column of a table.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableColumn>)},
    {0, nullptr},
};
PyType_Spec table_column_spec = {"velmo.TableColumn", box_size<TableColumn>(), 0, Py_TPFLAGS_DEFAULT,
                                 table_column_slots};

PyType_Slot table_style_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("The style of a table.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableStyleInfo>)},
    {0, nullptr},
};
PyType_Spec table_style_info_spec = {"velmo.TableStyleInfo", box_size<TableStyleInfo>(), 0, Py_TPFLAGS_DEFAULT,
                                     table_style_info_slots};

PyType_Slot table_list_slots[] = {
    {Py_tp_doc, const_cast<char*>("The tables of one worksheet, by display name.")},
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<SheetView>)},
    {0, nullptr},
};
PyType_Spec table_list_spec = {"velmo.TableList", box_size<SheetView>(), 0, Py_TPFLAGS_DEFAULT, table_list_slots};

PyType_Slot table_names_iter_slots[] = {
    {Py_tp_new, slot(new_slot<no_constructor>)},
    {Py_tp_dealloc, slot(box_dealloc<TableNamesIter>)},
    {0, nullptr},
};
PyType_Spec table_names_iter_spec = {"velmo.PyTableNamesIter", box_size<TableNamesIter>(), 0, Py_TPFLAGS_DEFAULT,
                                     table_names_iter_slots};

}  // namespace

PyType_Spec* table_type_spec() { return &table_spec; }
PyType_Spec* table_column_type_spec() { return &table_column_spec; }
PyType_Spec* table_style_info_type_spec() { return &table_style_info_spec; }
PyType_Spec* table_list_type_spec() { return &table_list_spec; }
PyType_Spec* table_names_iter_type_spec() { return &table_names_iter_spec; }

}  // namespace velmo::python
