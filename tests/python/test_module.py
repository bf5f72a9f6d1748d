"""Registration of the module's functions and classes, and what every class shares."""

import inspect

import pytest

import velmo

REGISTERED = [
    "load_workbook", "get_column_letter", "column_index_from_string", "dataframe_to_rows",
    "Workbook", "Worksheet", "AutoFilter", "Cell", "Comment", "Hyperlink", "Font", "Fill",
    "PatternFill", "Color", "DefinedName", "DefinedNames", "Table", "TableColumn",
    "TableStyleInfo", "FormulaRule", "CellIsRule", "ConditionalFormatting",
]

NO_CONSTRUCTOR = ["Worksheet", "AutoFilter", "Cell", "Comment", "Hyperlink", "Font", "Fill", "Color",
                  "DefinedNames", "TableColumn", "ConditionalFormatting"]


def test_all_lists_the_registered_names_in_order():
    assert velmo.__all__ == REGISTERED
    for name in REGISTERED:
        assert getattr(velmo, name) is not None


def test_module_docstring_is_empty():
    assert velmo.__doc__ == ""


def test_unregistered_classes_are_not_attributes():
    for name in ("TableList", "PyTableNamesIter", "PyDefinedNamesIter"):
        assert not hasattr(velmo, name)


def test_functions_belong_to_the_module():
    for name in REGISTERED[:4]:
        assert getattr(velmo, name).__module__ == "velmo"


@pytest.mark.parametrize("name", [n for n in REGISTERED[4:]])
def test_classes_cannot_be_subclassed(name):
    cls = getattr(velmo, name)
    assert cls.__module__ == "velmo"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as exc:
        getattr(velmo, name)()
    assert exc.value.args == (f"No constructor defined for {name}",)


def test_text_signatures():
    ws = velmo.Workbook().active
    sig = lambda f: str(inspect.signature(f))
    assert sig(velmo.load_workbook) == "(path)"
    assert sig(velmo.Workbook) == "()"
    assert sig(velmo.get_column_letter) == "(idx)"
    assert sig(velmo.column_index_from_string) == "(letter)"
    assert sig(velmo.dataframe_to_rows) == "(df, index=True, header=True)"
    assert sig(velmo.PatternFill) == (
        "(fill_type=None, fgColor=None, bgColor=None, start_color=None, end_color=None, patternType=None)"
    )
    assert sig(ws.cell) == "(*, row, column)"
    assert sig(ws.iter_rows) == "(min_row=None, max_row=None, min_col=None, max_col=None, values_only=False)"
    assert sig(ws.iter_cols) == "(min_col=None, max_col=None, min_row=None, max_row=None, values_only=False)"
    assert sig(ws.append) == "(iterable)"


def test_objects_compare_by_identity_and_views_are_new_each_time():
    wb = velmo.Workbook()
    a, b = wb.worksheets, wb.worksheets
    assert a[0] is not b[0] and a[0] != b[0]
    assert wb.active is not wb.active
    assert wb["Sheet"].title == "Sheet"


def test_properties_are_read_only():
    wb = velmo.Workbook()
    with pytest.raises(AttributeError):
        wb.active = None
    with pytest.raises(AttributeError):
        wb.active.title = "x"
    with pytest.raises(AttributeError):
        wb.active["A1"].value = 1
