"""Defined names: the DefinedName value class, the DefinedNames views of both scopes, and names through a save."""

import re
import zipfile
from xml.etree import ElementTree

import pytest

import velmo
from package_check import check_package, rewrite_entries
from test_save import read_part, saved

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RESERVED = ("'_xlnm.*' names are reserved for print settings; "
            "use ws.print_area / ws.print_title_rows / ws.print_title_cols instead")


def dn(name, value="Sheet!$A$1", **kw):
    return velmo.DefinedName(name, value, **kw)


# ---- DefinedName ----


def test_defined_name_fields():
    d = velmo.DefinedName("Total", "Sheet1!$A$1")
    assert (d.name, d.value, d.comment, d.hidden) == ("Total", "Sheet1!$A$1", None, False)
    assert d.is_reserved is None and d.localSheetId is None
    d = velmo.DefinedName(value="1", name="x", comment="why", hidden=True)
    assert (d.name, d.value, d.comment, d.hidden) == ("x", "1", "why", True)
    assert velmo.DefinedName("", "", comment=None).comment is None
    # Nothing is validated here; add() is where reserved names are refused.
    assert velmo.DefinedName("_xlnm.Print_Area", "x").name == "_xlnm.Print_Area"


@pytest.mark.parametrize("args, kwargs, arg", [
    ((1, "v"), {}, "name"),
    (("n", None), {}, "value"),
    (("n", "v"), {"comment": 3}, "comment"),
    (("n", "v"), {"hidden": None}, "hidden"),
    (("n", "v"), {"hidden": 1}, "hidden"),
])
def test_defined_name_argument_types(args, kwargs, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}'"):
        velmo.DefinedName(*args, **kwargs)


def test_defined_name_arity():
    with pytest.raises(TypeError):
        velmo.DefinedName("n")
    with pytest.raises(TypeError):
        velmo.DefinedName("n", "v", "comment")  # comment is keyword-only
    assert velmo.DefinedName.__text_signature__ == "(name, value, *, comment=None, hidden=False)"


def test_defined_name_repr_quotes_texts():
    assert repr(dn("Total", "Sheet1!$A$1")) == 'DefinedName(name="Total", value="Sheet1!$A$1")'
    assert repr(dn('a"b', "x\ny\\")) == 'DefinedName(name="a\\"b", value="x\\ny\\\\")'
    assert repr(dn("z", "\u200b")) == 'DefinedName(name="z", value="\\u{200b}")'


# ---- DefinedNames ----


@pytest.fixture(params=["workbook", "sheet"])
def names(request):
    wb = velmo.Workbook()
    return wb.defined_names if request.param == "workbook" else wb.active.defined_names


def test_add_replaces_in_place(names):
    names.add(dn("First", "1"))
    names.add(dn("Total", "Sheet1!$A$1"))
    names.add(dn("Total", "Sheet1!$B$1", comment="c", hidden=True))
    assert names.keys() == ["First", "Total"]
    assert len(names) == 2
    got = names["Total"]
    assert (got.value, got.comment, got.hidden) == ("Sheet1!$B$1", "c", True)
    assert got.localSheetId is None and got.is_reserved is None
    assert names["Total"] is not got  # every lookup is a fresh copy


def test_one_name_in_any_case_but_keys_compare_exactly(names):
    names.add(dn("Alpha"))
    names.add(dn("Total", "1"))
    names.add(dn("total", "2"))  # the same name to an application: replaces it, in its place
    assert names.keys() == ["Alpha", "total"]
    assert "total" in names and "Total" not in names and "TOTAL" not in names
    assert names["total"].value == "2"
    with pytest.raises(KeyError) as exc:
        names["TOTAL"]
    assert exc.value.args == ("TOTAL",)
    names.add(dn("Total "))  # no trimming
    assert names.keys() == ["Alpha", "total", "Total "]


def test_reserved_names_are_refused(names):
    for bad in ("_xlnm.Print_Area", "_xlnm._FilterDatabase", "_xlnm.", "_XLNM.Print_Area", "_Xlnm.x"):
        with pytest.raises(ValueError) as exc:
            names.add(dn(bad))
        assert exc.value.args == (RESERVED,)
        with pytest.raises(ValueError, match="reserved"):
            names[bad] = dn(bad)
    # Only the prefix is reserved, in any case: names compare without it.
    names.add(dn("_xlnmPrint_Area"))
    names.add(dn("_XLNM"))
    assert names.keys() == ["_xlnmPrint_Area", "_XLNM"]


def test_assignment_checks_the_key(names):
    names["A"] = dn("A", "1")
    assert names["A"].value == "1"
    names["A"] = dn("A", "2")
    assert len(names) == 1 and names["A"].value == "2"
    with pytest.raises(ValueError) as exc:
        names["a"] = dn("A")
    assert exc.value.args == ('key "a" does not match DefinedName.name "A"',)
    with pytest.raises(ValueError, match='key "A " does not match'):
        names["A "] = dn("A")
    assert names.keys() == ["A"]


def test_argument_types(names):
    with pytest.raises(TypeError, match="argument 'defined_name'"):
        names.add("A")
    with pytest.raises(TypeError, match="argument 'defined_name'"):
        names["A"] = "A"
    for op in (lambda: names[1], lambda: 1 in names, lambda: names.__delitem__(1),
               lambda: names.__setitem__(1, dn("1"))):
        with pytest.raises(TypeError, match="argument 'name'"):
            op()
    with pytest.raises(TypeError):
        names.add()
    names.add(defined_name=dn("kw"))
    assert "kw" in names


def test_delete_keeps_order(names):
    for n in ("a", "b", "c"):
        names.add(dn(n))
    del names["b"]
    assert names.keys() == ["a", "c"]
    with pytest.raises(KeyError) as exc:
        del names["b"]
    assert exc.value.args == ("b",)


def test_iterator_is_a_snapshot(names):
    names.add(dn("a"))
    it = iter(names)
    assert iter(it) is it
    names.add(dn("b"))
    del names["a"]
    assert list(it) == ["a"]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert list(names) == ["b"]


def test_scopes_are_independent():
    wb = velmo.Workbook()
    ws = wb.active
    wb.defined_names.add(dn("Book"))
    ws.defined_names.add(dn("Sheet"))
    assert "Book" not in ws.defined_names and "Sheet" not in wb.defined_names
    wb.defined_names.add(dn("Both", "1"))
    ws.defined_names.add(dn("Both", "2"))
    assert wb.defined_names["Both"].value == "1"
    assert ws.defined_names["Both"].value == "2"
    # Views hold nothing: two views of one scope see the same collection.
    assert wb.defined_names is not wb.defined_names
    assert wb.defined_names.keys() == ["Book", "Both"]


def test_empty_view():
    names = velmo.Workbook().defined_names
    assert len(names) == 0 and not names
    assert names.keys() == [] and list(names) == []


# ---- through a save ----


def test_names_are_saved_and_read_back(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    wb.defined_names.add(dn("Rate", "Sheet!$B$1", comment="per year", hidden=True))
    wb.defined_names.add(dn("Label", '"a<b & c"'))
    ws.defined_names.add(dn("Local", "Sheet!$C$1:$C$9"))
    path = str(tmp_path / "names.xlsx")
    wb.save(path)
    check_package(path)

    with zipfile.ZipFile(path) as z:
        root = ElementTree.fromstring(z.read("xl/workbook.xml"))
    written = {e.get("name"): e for e in root.iter(MAIN + "definedName")}
    assert written["Local"].get("localSheetId") == "0"
    assert written["Rate"].get("localSheetId") is None
    assert written["Rate"].get("comment") == "per year"
    assert written["Rate"].get("hidden") in ("1", "true")

    back = velmo.load_workbook(path)
    assert back.defined_names.keys() == ["Rate", "Label"]
    rate = back.defined_names["Rate"]
    assert (rate.value, rate.comment, rate.hidden) == ("Sheet!$B$1", "per year", True)
    assert back.defined_names["Label"].value == '"a<b & c"'
    assert back.active.defined_names.keys() == ["Local"]
    assert back.active.defined_names["Local"].value == "Sheet!$C$1:$C$9"


def test_loaded_names_can_be_changed_and_saved(make_xlsx, tmp_path):
    def build(book):
        book.add_worksheet("Data")
        book.define_name("Keep", "=Data!$A$1")
        book.define_name("Drop", "=Data!$B$1")
        book.define_name("Data!Scoped", "=Data!$C$1")

    wb = velmo.load_workbook(make_xlsx(build))
    assert wb.defined_names.keys() == ["Drop", "Keep"]  # document order, which XlsxWriter sorts
    assert wb["Data"].defined_names.keys() == ["Scoped"]
    del wb.defined_names["Drop"]
    wb["Data"].defined_names["Scoped"] = dn("Scoped", "Data!$D$1")
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    check_package(out)
    back = velmo.load_workbook(out)
    assert back.defined_names.keys() == ["Keep"]
    assert back.defined_names["Keep"].value == "Data!$A$1"
    assert back["Data"].defined_names["Scoped"].value == "Data!$D$1"


def test_name_with_text_xml_cannot_carry_is_refused_on_save(tmp_path):
    wb = velmo.Workbook()
    wb.defined_names.add(dn("Bad", "a\x01b"))
    path = tmp_path / "bad.xlsx"
    with pytest.raises(ValueError):
        wb.save(str(path))
    assert not path.exists()


# ---- kept names and names added from Python: one definition per name and scope ----


def _definitions(path):
    """(name folded, localSheetId) -> texts of every definedName written for it, and the part's text."""
    text = read_part(path, "xl/workbook.xml").decode()
    out = {}
    for e in ElementTree.fromstring(text).iter(MAIN + "definedName"):
        out.setdefault((e.get("name").lower(), e.get("localSheetId")), []).append(e.text)
    return out, text


@pytest.mark.parametrize("scope", ["workbook", "sheet"])
@pytest.mark.parametrize("stored, listed, add", [
    # Flags stated off, as some applications write every name: listed, and replaced like any other.
    ('function="false" hidden="false" vbProcedure="false"', True, "Total"),
    # A flag that says something: kept as stored, unlisted, until a name of its own is added.
    ('function="1" vbProcedure="1"', False, None),
    ('xlm="1"', False, "total"),
])
def test_a_kept_name_added_again_is_defined_once(make_xlsx, tmp_path, scope, stored, listed, add):
    prefix, sheet_id = ("Data!", "0") if scope == "sheet" else ("", None)

    def build(book):
        book.add_worksheet("Data")
        book.define_name(prefix + "Total", "=Data!$A$1")
        book.define_name(prefix + "Other", "=Data!$C$1")

    path = make_xlsx(build)
    rewrite_entries(path, {"xl/workbook.xml": lambda d: d.replace(b'<definedName name="Total"',
                                                                  f'<definedName {stored} name="Total"'.encode())})
    wb = velmo.load_workbook(path)
    names = wb.defined_names if scope == "workbook" else wb["Data"].defined_names
    assert ("Total" in names) is listed
    if add:
        names.add(dn(add, "Data!$B$1"))
    out = saved(wb, tmp_path / "out.xlsx")
    defs, text = _definitions(out)
    assert defs[("total", sheet_id)] == ["Data!$B$1" if add else "Data!$A$1"]
    assert defs[("other", sheet_id)] == ["Data!$C$1"]
    assert all(len(texts) == 1 for texts in defs.values())
    back = velmo.load_workbook(out)
    back_names = back.defined_names if scope == "workbook" else back["Data"].defined_names
    assert back_names.keys() == (["Other", add or "Total"] if (listed or add) else ["Other"])
    # Not replaced, the element comes across as it stood.
    assert (f'{stored} name="Total"' in text) is (not add and not listed)


@pytest.mark.parametrize("element, edit, expected", [
    (True, lambda ws: None, None),
    (False, lambda ws: None, None),
    (False, lambda ws: ws.__setitem__("E9", 1), None),
    (True, lambda ws: setattr(ws.auto_filter, "ref", "B2:C8"), "&apos;Data&apos;!$B$2:$C$8"),
    (False, lambda ws: setattr(ws.auto_filter, "ref", "B2:C8"), "&apos;Data&apos;!$B$2:$C$8"),
    (True, lambda ws: setattr(ws.auto_filter, "ref", None), ""),
    (False, lambda ws: setattr(ws.auto_filter, "ref", None), ""),
], ids=["unchanged", "advanced filter unchanged", "edited elsewhere", "filter set", "advanced filter, filter set",
        "filter cleared", "advanced filter, filter cleared"])
def test_the_hidden_filter_name_stays_as_loaded_until_the_filter_changes(make_xlsx, tmp_path, element, edit, expected):
    # Without an autoFilter element, what a desktop advanced filter leaves.
    src = make_xlsx(lambda book: book.add_worksheet("Data").autofilter("A1:C5"))
    if not element:
        rewrite_entries(src, {"xl/worksheets/sheet1.xml": lambda b: re.sub(rb"<autoFilter[^>]*/>", b"", b)})
    find = lambda path: re.findall(r"<definedName name=\"_xlnm\._FilterDatabase\".*?</definedName>",  # noqa: E731
                                   read_part(path, "xl/workbook.xml").decode())
    loaded = find(src)
    assert len(loaded) == 1 and loaded[0].endswith(">Data!$A$1:$C$5</definedName>")
    wb = velmo.load_workbook(src)
    edit(wb.active)
    dest = saved(wb, tmp_path / "dest.xlsx")
    assert find(dest) == (loaded if expected is None else [loaded[0].replace("Data!$A$1:$C$5", expected)] if expected else [])
