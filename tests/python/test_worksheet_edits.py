"""Worksheet edits and settings: row/column insertion and deletion, move_range, merged ranges, sizes,
cell records, frozen panes, print settings and the auto filter, with what a save writes for them."""

import posixpath
import random
import re
import zipfile
from xml.etree import ElementTree

import pytest
from python_calamine import CalamineWorkbook

import velmo
from package_check import _resolve, check_package, package_problems, raw_entries, sheet_parts
from test_corpus import OTHER
from test_save import hand_made, read_part, rels_of, saved
from test_snapshots import patch_part

M = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"


def saved_sheet(wb, tmp_path, n=1):
    """Saves the workbook and returns the root element of worksheet part n."""
    path = tmp_path / "edited.xlsx"
    wb.save(str(path))
    with zipfile.ZipFile(path) as z:
        return ElementTree.fromstring(z.read(f"xl/worksheets/sheet{n}.xml"))


def merged(root):
    return [m.get("ref") for m in root.iter(M + "mergeCell")]


def heights(root):
    return {int(r.get("r")): float(r.get("ht")) for r in root.iter(M + "row") if r.get("ht")}


def widths(root):
    return {int(c.get("min")): float(c.get("width")) for c in root.iter(M + "col")}


@pytest.fixture
def table_sheet(make_xlsx):
    """A loaded worksheet with a table at A10:C12 and a value in A1."""

    def build(book):
        sheet = book.add_worksheet("Data")
        sheet.write("A1", "top")
        sheet.add_table("A10:C12", {"name": "Sales", "columns": [{"header": h} for h in "xyz"]})

    return velmo.load_workbook(make_xlsx(build))["Data"]


# ---- insert_rows, delete_rows, insert_cols, delete_cols ----

@pytest.mark.parametrize("call, message", [
    (lambda ws: ws.insert_rows(0), "row index 0 out of bounds; must be >= 1"),
    (lambda ws: ws.delete_cols(0, 0), "column index 0 out of bounds; must be >= 1"),
    (lambda ws: ws.insert_cols(16385), "column index 16385 out of bounds; maximum is 16384"),
    (lambda ws: ws.delete_rows(1048577), "row index 1048577 out of bounds; maximum is 1048576"),
    (lambda ws: ws.insert_rows(1048576, 1), "row insert at 1048576 with amount 1 would exceed maximum 1048576"),
    (lambda ws: ws.insert_rows(5, 4294967295), "row insert at 5 with amount 4294967295 causes overflow"),
    (lambda ws: ws.delete_cols(2, 4294967295), "column delete at 2 with amount 4294967295 causes overflow"),
])
def test_bulk_edit_bounds_are_refused_with_the_models_message(ws, call, message):
    ws["A1"] = 1
    with pytest.raises(ValueError) as e:
        call(ws)
    assert e.value.args == (message,)
    assert ws["A1"].value == 1  # unchanged, and the lock still works


def test_bulk_edit_arguments(ws):
    ws.delete_rows(1048576, 10)  # deletions past the grid are accepted
    ws.insert_cols(idx=3, amount=0)
    with pytest.raises(OverflowError):
        ws.insert_rows(1, -1)
    with pytest.raises(OverflowError):
        ws.insert_rows(2 ** 32)
    with pytest.raises(TypeError, match="amount"):
        ws.insert_rows(1, None)
    with pytest.raises(TypeError, match="idx"):
        ws.delete_cols("1")
    with pytest.raises(TypeError):
        ws.insert_rows()
    with pytest.raises(TypeError):
        ws.insert_rows(1, 1, 1)
    assert ws.insert_rows.__text_signature__ == "($self, idx, amount=1)"


def test_row_edits_move_cells(ws):
    ws["A1"] = "stays"
    ws["a2"] = "lower"
    ws["B3"] = "b3"
    ws["junk"] = "j"
    ws.insert_rows(2, 2)
    assert ws["A1"].value == "stays"
    assert ws["A4"].value == "lower" and ws["a2"].value is None  # re-keyed in canonical form
    assert ws["B5"].value == "b3" and ws["junk"].value == "j"
    ws.delete_rows(1)
    assert ws["A3"].value == "lower" and ws["B4"].value == "b3" and ws["A1"].value is None


def test_row_edits_are_written(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws["A2"] = 1
    ws.merge_cells("A2:B3")
    ws.merge_cells("A5:A6")
    ws.row_height(2, 20)
    ws.insert_rows(2, 2)  # A2:B3 -> A4:B5, A5:A6 -> A7:A8, height of row 2 -> row 4
    root = saved_sheet(wb, tmp_path)
    assert merged(root) == ["A4:B5", "A7:A8"]
    assert heights(root) == {4: 20.0}
    ws.delete_rows(5, 2)  # meets A4:B5 (dropped), moves A7:A8 up by 2
    root = saved_sheet(wb, tmp_path)
    assert merged(root) == ["A5:A6"]
    assert heights(root) == {4: 20.0}


def test_column_edits_move_cells_and_widths(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws["A1"] = "a"
    ws["B1"] = "b"
    ws["C1"] = "c"
    ws.column_width(1, 12)
    ws.column_width(3, 30)
    ws.insert_cols(1)
    assert [c.value for c in ws.iter_rows(min_col=1, max_col=4)[0]] == [None, "a", "b", "c"]
    assert widths(saved_sheet(wb, tmp_path)) == {2: 12.0, 4: 30.0}
    ws.delete_cols(2, 2)
    assert [c.value for c in ws.iter_rows(min_col=1, max_col=2)[0]] == [None, "c"]
    assert widths(saved_sheet(wb, tmp_path)) == {2: 30.0}


def test_a_table_at_or_after_the_index_blocks_bulk_edits(table_sheet):
    ws = table_sheet
    for call in (lambda: ws.insert_rows(2), lambda: ws.delete_rows(5, 0), lambda: ws.insert_cols(3),
                 lambda: ws.delete_cols(1)):
        with pytest.raises(ValueError) as e:
            call()
        assert e.value.args == ("operation intersects table range: A10:C12",)
    assert ws["A1"].value == "top" and ws["A10"].value == "x"
    ws.insert_rows(13)
    ws.insert_cols(4)
    assert ws["A10"].value == "x"


# ---- move_range ----

def test_move_range_refusals(ws):
    with pytest.raises(NotImplementedError) as e:
        ws.move_range("not a range", 1, translate=True)
    assert e.value.args == (
        "move_range with translate=true is not supported: formula translation is out of scope",)
    cases = [
        (("A1:",), 'move_range cell_range "A1:" is not a valid A1 range'),
        (("A\t1",), 'move_range cell_range "A\\t1" is not a valid A1 range'),
        (("A1", -1), 'move_range would push cells out of bounds (row/col < 1) for "A1"'),
        (("B2:C3", 0, -2), 'move_range would push cells out of bounds (row/col < 1) for "B2:C3"'),
        (("XFD1", 0, 1), 'move_range would push cells past Excel limits (max row=1048576, max col=16384) for "XFD1"'),
        (("A1", 2 ** 63 - 1), 'move_range row offset 9223372036854775807 causes overflow for "A1"'),
        # the column is tested before the row
        (("A1", 2 ** 63 - 1, 2 ** 63 - 1), 'move_range column offset 9223372036854775807 causes overflow for "A1"'),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as e:
            ws.move_range(*args)
        assert e.value.args == (message,)
    with pytest.raises(OverflowError):
        ws.move_range("A1", 2 ** 63)
    with pytest.raises(TypeError, match="translate"):
        ws.move_range("A1", translate=1)
    with pytest.raises(TypeError, match="cell_range"):
        ws.move_range(None)


def test_move_range_moves_a_block_and_clears_the_destination(ws):
    ws["A1"] = "a1"
    ws["B2"] = "b2"
    ws["C3"] = "in the way"
    ws["D9"] = "elsewhere"
    ws.move_range("B2:A1", rows=2, cols=1)  # corners in any order
    assert ws["B3"].value == "a1" and ws["C4"].value == "b2"
    assert ws["A1"].value is None and ws["B2"].value is None
    assert ws["C3"].value is None  # inside the destination, not moved itself
    assert ws["D9"].value == "elsewhere"


def test_move_range_near_a_table(table_sheet):
    ws = table_sheet
    with pytest.raises(ValueError, match="operation intersects table range: A10:C12"):
        ws.move_range("A11")
    with pytest.raises(ValueError, match="operation intersects table range: A10:C12"):
        ws.move_range("A1", rows=10)
    assert ws["A1"].value == "top"
    ws.move_range("A1", cols=5)
    assert ws["F1"].value == "top"


# ---- pivot tables ----

PIVOT_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotTable+xml"
PIVOT_PART = "xl/pivotTables/pivotTable1.xml"
PIVOT_XML = ('<pivotTableDefinition xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
             'name="Sales pivot" cacheId="1"><location ref="C5:E9" firstHeaderRow="1" firstDataRow="1" '
             'firstDataCol="1"/></pivotTableDefinition>')


def pivot_book(tmp_path, *targets):
    """A sheet "Data" with a grid of values, whose relationships name each (target, mode) as a pivot
    table; the pivot table part at C5:E9 is in the package."""
    from test_save import CT_HEAD, WS_CT, rel, rels
    cells = "".join(f'<row r="{r}">' + "".join(f'<c r="{c}{r}"><v>{r * 10 + i}</v></c>' for i, c in enumerate("ABCDEFG"))
                    + "</row>" for r in range(1, 13))
    sheet_rels = rels(*(rel(f"rId{i + 1}", "pivotTable", t, mode) for i, (t, mode) in enumerate(targets)))
    types = (CT_HEAD + f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{WS_CT}"/>'
             f'<Override PartName="/{PIVOT_PART}" ContentType="{PIVOT_CT}"/></Types>')
    return hand_made(tmp_path / "pivot.xlsx", [("Data", "xl/worksheets/sheet1.xml", cells, sheet_rels)],
                     extra=[(PIVOT_PART, PIVOT_XML)], content_types=types)


# What meets the pivot table at C5:E9 (rows 5-9, columns C-E) is refused; what lies after it goes.
@pytest.mark.parametrize("edit, refused", [
    ("insert_rows(9)", True),
    ("delete_rows(2, 2)", True),
    ("delete_rows(9, 0)", True),
    ("insert_rows(10, 3)", False),
    ("delete_rows(10, 2)", False),
    ("insert_cols(1)", True),
    ("delete_cols(5)", True),
    ("insert_cols(6)", False),
    ("delete_cols(6, 2)", False),
    ("move_range('D7')", True),  # from inside it
    ("move_range('A1:B2', rows=3, cols=1)", True),  # onto its corner C5
    ("move_range('F1:G4', rows=5, cols=-1)", True),  # onto its right edge
    ("move_range('A1:B2', rows=3)", False),  # beside it
])
def test_edits_meeting_a_pivot_table_are_refused(tmp_path, edit, refused):
    wb = velmo.load_workbook(pivot_book(tmp_path, ("../pivotTables/pivotTable1.xml", None)))
    ws = wb["Data"]
    grid = lambda: ws.iter_rows(min_row=1, max_row=20, min_col=1, max_col=10, values_only=True)  # noqa: E731
    before = grid()
    if refused:
        with pytest.raises(ValueError) as e:
            eval("ws." + edit)
        assert e.value.args == ('operation intersects pivot table "Sales pivot" at C5:E9',)
    else:
        eval("ws." + edit)
    assert (grid() == before) is refused
    # Whatever happened, the pivot table's cells are where its part says.
    assert [ws[f"{c}{r}"].value for r in range(5, 10) for c in "CDE"] == [r * 10 + i for r in range(5, 10) for i in (2, 3, 4)]
    path = str(tmp_path / "saved.xlsx")
    wb.save(path)
    check_package(path)
    with zipfile.ZipFile(path) as z:
        assert z.read(PIVOT_PART).decode() == PIVOT_XML


# The relationships that place a pivot table on the sheet; the others leave the sheet free.
@pytest.mark.parametrize("targets, refused", [
    ([("/xl/pivotTables/pivotTable1.xml", None)], True),
    ([("../pivotTables/pivotTable1.xml", None), ("pivotTable1.xml/../../pivotTables/pivotTable1.xml", None)], True),
    ([("../pivotTables/missing.xml", None)], False),
    ([("../pivotTables/pivotTable1.xml", "Internal")], True),
    ([("../pivotTables/pivotTable1.xml", "External")], False),
    ([("../tables/../styles.xml", None)], False),  # a part, but no pivot table
    ([], False),
])
def test_which_relationships_place_a_pivot_table(tmp_path, targets, refused):
    ws = velmo.load_workbook(pivot_book(tmp_path, *targets))["Data"]
    if refused:
        with pytest.raises(ValueError, match="pivot table"):
            ws.insert_rows(1)
        assert ws["C5"].value == 52
    else:
        ws.insert_rows(1)
        assert ws["C6"].value == 52


# ---- cells bound to XML maps ----
# A map part names the cells it binds: its entries go with their cells and go when their cells go,
# and a part left binding nothing leaves the package with what only it reached.

MAP = "xl/tables/tableSingleCells1.xml"
MAP_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml.tableSingleCells+xml"
WITH_MAP = [MAP, "xl/tables/_rels/tableSingleCells1.xml.rels", "xl/maps/bound.xml"]
UNREAD = 'operation may move cells bound to the XML map in "{}", which cannot be read'
SHARED = 'operation may move cells bound to the XML map in "{}", which other relationships reach too'


def map_xml(*refs):
    """A map part with an entry per ref, numbered from 1; an entry whose ref is None is left out."""
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n<singleXmlCells xmlns="{M[1:-1]}">' + "".join(
        f'<singleXmlCell id="{n}" r="{r}" connectionId="0"><xmlCellPr id="1"><xmlPr mapId="1" xpath="/r/f{n}" '
        'xmlDataType="string"/></xmlCellPr></singleXmlCell>' for n, r in enumerate(refs, 1) if r) + "</singleXmlCells>")


ELSEWHERE = ("https://example.com/cells.xml", "External")  # names a map, but none of the package


def map_book(tmp_path, targets=(("../tables/tableSingleCells1.xml", None), ELSEWHERE), part=MAP,
             text=map_xml("B2", "C2", "D4")):
    """Sheet "Data" holds its own references as text in A1:F8 and names each (target, mode) as a map;
    the part has relationships of its own to xl/maps/bound.xml."""
    from test_save import CT_HEAD, WS_CT, rel, rels
    cells = "".join(f'<row r="{r}">' + "".join(f'<c r="{c}{r}" t="inlineStr"><is><t>{c}{r}</t></is></c>' for c in "ABCDEF")
                    + "</row>" for r in range(1, 9))
    sheet_rels = rels(*(rel(f"rId{i}", "tableSingleCells", *t) for i, t in enumerate(targets, 1)))
    folder, base = part.rsplit("/", 1)
    own = rels(rel("rId1", "customXml", posixpath.relpath("xl/maps/bound.xml", folder)))
    return hand_made(tmp_path / "bound.xlsx", [("Data", "xl/worksheets/sheet1.xml", cells, sheet_rels)],
                     content_types=f'{CT_HEAD}<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{WS_CT}"/>'
                                   f'<Override PartName="/{part}" ContentType="{MAP_CT}"/></Types>',
                     extra=[(part, text), (f"{folder}/_rels/{base}.rels", own), ("xl/maps/bound.xml", "<bound/>")])


def bound_cells(path):
    """Sheet title -> (map part, the references of its entries) for each map a sheet's relationships reach."""
    out = {}
    with zipfile.ZipFile(path) as z:
        for title, part in sheet_parts(z).items():
            own = posixpath.join(posixpath.dirname(part), "_rels", posixpath.basename(part) + ".rels")
            for r in ElementTree.fromstring(z.read(own)) if own in z.namelist() else []:
                if r.get("Type").endswith("/tableSingleCells") and not r.get("TargetMode"):
                    bound = _resolve(part, r.get("Target"))
                    out[title] = (bound, [e.get("r") for e in ElementTree.fromstring(z.read(bound))])
    return out


def follows(out, title, part, texts):
    """Where each of `texts` stands in the saved sheet as another reader sees it (None: gone); the map binds those cells."""
    grid = CalamineWorkbook.from_path(out).get_sheet_by_name(title).to_python(skip_empty_area=False)
    where = {v: f"{velmo.get_column_letter(c)}{r}" for r, row in enumerate(grid, 1) for c, v in enumerate(row, 1) if v in texts}
    kept = [where[t] for t in texts if t in where]
    assert bound_cells(out) == ({title: (part, kept)} if kept else {})
    return tuple(where.get(t) for t in texts)


# The entries bind B2, C2 and D4: edits before, across and after them, and moves over them.
@pytest.mark.parametrize("edit, refs", [
    (("insert_rows", 1, 2), ("B4", "C4", "D6")),
    (("insert_rows", 3, 1), ("B2", "C2", "D5")),
    (("delete_rows", 2, 1), (None, None, "D3")),
    (("delete_rows", 2, 3), (None, None, None)),
    (("delete_rows", 5, 4), ("B2", "C2", "D4")),
    (("insert_cols", 3, 2), ("B2", "E2", "F4")),
    (("delete_cols", 1, 1), ("A2", "B2", "C4")),
    (("delete_cols", 3, 1), ("B2", None, "C4")),
    (("move_range", "B2:D4", 1, 1), ("C3", "D3", "E5")),
    (("move_range", "B2:C2", 2, 2), ("D4", "E4", None)),
    (("move_range", "F1:F8", 0, -4), (None, "C2", "D4")),
])
def test_cells_bound_to_an_xml_map_take_the_binding_along(tmp_path, edit, refs):
    src = map_book(tmp_path)
    wb = velmo.load_workbook(src)
    getattr(wb["Data"], edit[0])(*edit[1:])
    out = saved(wb, tmp_path / "out.xlsx")
    assert follows(out, "Data", MAP, ("B2", "C2", "D4")) == refs
    before, after = raw_entries(src), raw_entries(out)
    if any(refs):  # only the references change, and an untouched part is copied as it lay
        assert read_part(out, MAP).decode() == map_xml(*refs)
        assert [after[n] == before[n] for n in WITH_MAP] == [refs == ("B2", "C2", "D4"), True, True]
    else:  # with its own relationship alone
        assert not set(WITH_MAP) & set(after) and MAP_CT not in read_part(out, "[Content_Types].xml").decode()
        assert rels_of(out, "xl/worksheets/_rels/sheet1.xml.rels") == [("rId2", "tableSingleCells", *ELSEWHERE)]


# Which relationships and parts bind cells; a map that cannot follow (its part cannot be read, or
# other relationships reach it) refuses every edit that moves cells, even after the cells it binds,
# and an insert that would push a bound cell off the grid is refused; and what a save writes.
PUSHED = "row insert at 1 with amount 1 would push XML map cell D1048576 past row 1048576"
@pytest.mark.parametrize("book, refused, written", [
    (dict(targets=[("/xl/tables/tableSingleCells1.xml", None)]), None, ("B3", "C3", "D5")),
    (dict(targets=[("../BINDINGS/cells.xml", None)], part="xl/bindings/cells.xml"), None, ("B3", "C3", "D5")),
    (dict(text=f'<x:singleXmlCells xmlns:x="{M[1:-1]}">note<x:singleXmlCell r="b2"/><x:singleXmlCell r="&#67;2"/>'
               '</x:singleXmlCells>'),
     None, f'<x:singleXmlCells xmlns:x="{M[1:-1]}">note<x:singleXmlCell r="B3"/><x:singleXmlCell r="C3"/></x:singleXmlCells>'),
    (dict(targets=[("../tables/tableSingleCells1.xml", "External")]), None, None),
    (dict(targets=[("../tables/missing.xml", None)]), None, None),
    (dict(text=map_xml("B2", "C2").replace("<xmlCellPr ", '<xmlCellPr xmlns="urn:x" ', 1)), None,  # in its scope alone
     map_xml("B3", "C3").replace("<xmlCellPr ", '<xmlCellPr xmlns="urn:x" ', 1)),
    (dict(targets=[("../tables/tableSingleCells1.xml", None), ("./x/../../tables/tableSingleCells1.xml", None)]), SHARED, None),
    (dict(targets=[("../tables/tableSingleCells1.xml", None), ("../styles.xml", None)]), UNREAD.format("xl/styles.xml"), None),
    (dict(text=map_xml("B2", "C2", "$D$4")), UNREAD, None),
    (dict(text=map_xml("B2", "XFE2")), UNREAD, None),
    (dict(text=map_xml("B2").replace(M[1:-1], "urn:other")), UNREAD, None),
    (dict(text=map_xml("B2").replace("</singleXmlCells>", "<extLst/></singleXmlCells>")), UNREAD, None),
    (dict(text=map_xml("B2")[:-5]), UNREAD, None),
    (dict(text=map_xml("B2").replace('mapId="1"', "mapId=1")), UNREAD, None),
    (dict(text=map_xml("B2", "D1048576")), PUSHED, ("B2", "D1048575")),
])
def test_maps_that_cannot_follow_refuse_and_other_parts_bind_nothing(tmp_path, book, refused, written):
    src = map_book(tmp_path, **book)
    wb = velmo.load_workbook(src)
    ws, part = wb["Data"], book.get("part", MAP)
    fixed = refused not in (None, PUSHED)
    for edit, refusal in [(("insert_rows", 1), refused), (("delete_rows", 9), fixed and refused),
                          (("move_range", "A9", 1, 0), fixed and refused), (("move_range", "A1:F9", 0, 0), None)]:
        if refusal:
            with pytest.raises(ValueError) as e:
                getattr(ws, edit[0])(*edit[1:])
            assert e.value.args == (refusal.format(part),)
        else:
            getattr(ws, edit[0])(*edit[1:])
    assert ws["B3" if refused is None else "B2"].value == "B2"
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    assert set(package_problems(out)) <= set(package_problems(src))  # a broken map or target stays so
    expected = map_xml(*written) if isinstance(written, tuple) else written or read_part(src, part).decode()
    assert read_part(out, part).decode() == expected


CORPUS_MAPS = ["55864.xlsx", "55923.xlsx", "55926.xlsx", "56169.xlsx", "56730.xlsx", "57890.xlsx", "59026.xlsx",
               "CustomXMLMappings-complex-type.xlsx", "CustomXmlMappings-inverse-order.xlsx"]


# On the maps of other producers, edits placed by where the bound cells lie: at the first row or
# column, at the last, after the last, and a move of the block they span.
@pytest.mark.skipif(not OTHER.is_dir(), reason="corpus of other producers not available")
@pytest.mark.parametrize("name", CORPUS_MAPS)
@pytest.mark.parametrize("edit", [("insert_rows", "first", 1), ("insert_cols", "last", 2), ("delete_rows", "first", 1),
                                  ("delete_cols", "first", 1), ("delete_rows", "after", 3), ("move_range", "block", 1)])
def test_maps_of_other_producers_follow_their_cells(tmp_path, name, edit):
    src = str(OTHER / name)
    ((title, (part, refs)),) = bound_cells(src).items()
    wb = velmo.load_workbook(src)
    ws = wb[title]
    for table in ws.tables.keys():  # tables refuse these edits; the map is what is looked at here
        del ws.tables[table]
    texts = [f"bound {i}" for i in range(len(refs))]
    for ref, text in zip(refs, texts):
        ws[ref] = text
    rows = sorted(int(re.sub("[A-Z]", "", r)) for r in refs)
    cols = sorted(velmo.column_index_from_string(re.sub("[0-9]", "", r)) for r in refs)
    lines = rows if edit[0].endswith("rows") else cols
    if edit[0] == "move_range":
        ws.move_range(f"{velmo.get_column_letter(cols[0])}{rows[0]}:{velmo.get_column_letter(cols[-1])}{rows[-1]}", 1, 1)
    else:
        getattr(ws, edit[0])({"first": lines[0], "last": lines[-1], "after": lines[-1] + 1}[edit[1]], edit[2])
    out = saved(wb, tmp_path / name)
    moved = follows(out, title, part, texts)
    # A part the edit left alone is copied as it lay (that only the references change is the
    # hand-made table's to say).
    assert (raw_entries(out).get(part) == raw_entries(src)[part]) is (list(moved) == refs)


# ---- merged ranges and sizes ----

def test_merged_ranges_are_kept_as_written(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws.merge_cells("A1:B2")
    ws.merge_cells("A1:B2")
    ws.merge_cells("D1:E1")
    ws.unmerge_cells("a1:b2")  # a different text: nothing removed
    ws.unmerge_cells("Z9:Z10")
    assert merged(saved_sheet(wb, tmp_path)) == ["A1:B2", "D1:E1"]
    ws.unmerge_cells("A1:B2")
    assert merged(saved_sheet(wb, tmp_path)) == ["D1:E1"]
    with pytest.raises(TypeError, match="range"):
        ws.merge_cells(1)


def test_sizes_take_real_numbers_and_replace_earlier_ones(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws.column_width(2, 10)
    ws.column_width(col=2, width=15.5)
    ws.row_height(7, True)
    assert widths(saved_sheet(wb, tmp_path)) == {2: 15.5}
    assert heights(saved_sheet(wb, tmp_path)) == {7: 1.0}
    with pytest.raises(TypeError, match="width"):
        ws.column_width(1, "10")
    with pytest.raises(TypeError, match="height"):
        ws.row_height(1, None)
    with pytest.raises(OverflowError):
        ws.row_height(-1, 5)


def test_sizes_no_save_could_write_are_refused_at_the_call(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    with pytest.raises(ValueError, match="^col 0 is outside the grid"):
        ws.column_width(0, -5.0)
    with pytest.raises(ValueError, match="^height NaN is not a finite number >= 0"):
        ws.row_height(3, float("nan"))
    wb.save(str(tmp_path / "fine.xlsx"))
    assert widths(saved_sheet(wb, tmp_path)) == {} and heights(saved_sheet(wb, tmp_path)) == {}


# ---- cell records ----

def test_comment_and_hyperlink_keep_the_value(ws):
    ws["A1"] = 5
    ws.set_cell_comment("A1", "first", "Ann")
    ws.set_cell_comment(coord="A1", text="", author="")
    ws.set_cell_hyperlink("A1", "https://example.com/")
    cell = ws["A1"]
    assert cell.value == 5
    assert (cell.comment.text, cell.comment.author) == ("", "")
    assert cell.hyperlink.target == "https://example.com/" and cell.hyperlink.location is None
    ws.set_cell_hyperlink("A1", "")  # an empty target keeps the link
    assert ws["A1"].hyperlink.target == "https://example.com/"


def test_set_cell_fill_copies_a_pattern_fill(ws, styled_path):
    fill = velmo.PatternFill("solid", fgColor="FF00FF00")
    ws.set_cell_fill("B2", fill)
    got = ws["B2"].fill
    assert got is not fill and got.fg_color.rgb == "FF00FF00"
    cell_fill = velmo.load_workbook(styled_path)["Styled"]["B1"].fill
    assert cell_fill is not None
    with pytest.raises(TypeError, match="fill"):
        ws.set_cell_fill("B2", cell_fill)
    with pytest.raises(TypeError, match="fill"):
        ws.set_cell_fill("B2", None)


def test_cell_records_survive_a_save(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws.set_cell_comment("B2", "note", "Ann")
    ws.set_cell_hyperlink("C3", "https://example.org/")
    ws.set_cell_fill("D4", velmo.PatternFill("solid", fgColor="FFFF0000"))
    path = str(tmp_path / "records.xlsx")
    wb.save(path)
    back = velmo.load_workbook(path).active
    assert (back["B2"].comment.text, back["B2"].comment.author) == ("note", "Ann")
    assert back["C3"].hyperlink.target == "https://example.org/"
    assert back["D4"].fill.fg_color.rgb == "FFFF0000"


# ---- calls that would store what no save can write ----

SETTERS = {
    "fill": lambda ws, key: ws.set_cell_fill(key, velmo.PatternFill("solid", start_color="FFFFFF00")),
    "note": lambda ws, key: ws.set_cell_comment(key, "new", "Bo"),
    "link": lambda ws, key: ws.set_cell_hyperlink(key, "https://example.org/"),
}
NOT_CELLS = ["A 1", "", "A0", "A1:B2", "XFE1", "$XFE$1", "A1048577", "1A", "$$A1", "A$$1", "A1$", "$A1:B2"]
KEYS = {key: f'coord "{key}" is not a cell of the grid (A1 to XFD1048576)' for key in NOT_CELLS}
SIZES = {("column_width", 0, 10): "col 0 is outside the grid (1 to 16384)",
         ("column_width", 16385, 10): "col 16385 is outside the grid (1 to 16384)",
         ("row_height", 1048577, 10): "row 1048577 is outside the grid (1 to 1048576)",
         ("row_height", 4294967295, 10): "row 4294967295 is outside the grid (1 to 1048576)",
         ("column_width", 1, -0.5): "width -0.5 is not a finite number >= 0",
         ("column_width", 2, float("inf")): "width inf is not a finite number >= 0",
         ("row_height", 3, float("nan")): "height NaN is not a finite number >= 0"}
REFUSED = [(f"{what} {key!r}", setter, key, message) for what, setter in SETTERS.items() for key, message in KEYS.items()]
REFUSED += [(f"{name}{line, size}", lambda ws, args, name=name: getattr(ws, name)(*args), (line, size), message)
            for (name, line, size), message in SIZES.items()]


@pytest.mark.parametrize("call, args, message", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_calls_no_save_could_write_are_refused_and_change_nothing(tmp_path, call, args, message):
    wb = velmo.Workbook()
    ws = wb.active
    ws["A1"], ws["e5"] = "kept", 5  # item assignment keeps a key as given
    for what, setter in SETTERS.items():
        setter(ws, {"fill": "B2", "note": "C3", "link": "XFD1048576"}[what])
    ws.column_width(16384, 12)
    ws.row_height(1048576, 20)
    before, after, used = str(tmp_path / "before.xlsx"), str(tmp_path / "after.xlsx"), ws.max_column
    wb.save(before)
    with pytest.raises(ValueError) as exc:
        call(ws, args)
    assert exc.value.args == (message,) and ws.max_column == used
    wb.save(after)
    check_package(after)
    with zipfile.ZipFile(before) as old, zipfile.ZipFile(after) as new:
        assert {n: new.read(n) for n in new.namelist()} == {n: old.read(n) for n in old.namelist()}
    back = velmo.load_workbook(after).active
    assert (back["A1"].value, back["E5"].value, back["C3"].comment.text) == ("kept", 5, "new")
    assert back["B2"].fill.fg_color.rgb == "FFFFFF00" and back["XFD1048576"].hyperlink.target == "https://example.org/"


# A key in another spelling reaches the cell itself: the cell as stored ("C3", or "e5" as item
# assignment left it), or a new one under its canonical key.
SPELLED = [("$c3", "C3"), ("C$3", "C3"), ("E5", "e5"), ("$E$5", "e5"), ("e05", "e5"), ("a+1", "A1"), ("b9", "B9")]


@pytest.mark.parametrize("what", sorted(SETTERS))
def test_cell_setters_reach_the_cell_a_key_names_in_any_spelling(tmp_path, what):
    record = {"fill": lambda c: c.fill, "note": lambda c: c.comment, "link": lambda c: c.hyperlink}[what]
    for key, stored in SPELLED:
        wb = velmo.Workbook()
        ws = wb.active
        ws["A1"], ws["C3"], ws["e5"] = 1, 3, 5
        SETTERS[what](ws, key)
        assert record(ws[stored]) is not None, key
        path = str(tmp_path / "spelled.xlsx")
        wb.save(path)  # one key a cell: with a second one the save would refuse
        back = velmo.load_workbook(path).active
        assert record(back[stored.upper()]) is not None and back[stored.upper()].value == ws[stored].value, key


def spelled_book(tmp_path, spell):
    """A loaded sheet of numbers in A1:F12 whose file wrote each reference as spell(reference)."""
    cells = "".join(f'<row r="{r}">' + "".join(f'<c r="{spell(f"{c}{r}")}"><v>{r * 10 + i}</v></c>'
                                               for i, c in enumerate("ABCDEF")) + "</row>" for r in range(1, 13))
    return velmo.load_workbook(hand_made(tmp_path / f"{spell('x')}.xlsx", [("Data", "xl/worksheets/sheet1.xml", cells, None)]))


def records(wb, tmp_path):
    """What a save of the workbook and a load give every cell of A1:J20: value, fill, note, link."""
    path = str(tmp_path / "records.xlsx")
    wb.save(path)
    ws = velmo.load_workbook(path)["Data"]
    return [(c.value, c.fill and c.fill.fg_color and c.fill.fg_color.rgb, c.comment and c.comment.text,
             c.hyperlink and c.hyperlink.target)
            for row in ws.iter_rows(min_row=1, max_row=20, min_col=1, max_col=10) for c in row]


def random_step(rng):
    """One call, as (name, args), that a sheet takes whatever its keys' spelling."""
    kind = rng.randrange(40)  # a row or column edit puts every key in canonical form: they come last and seldom
    if kind < 24:
        key = rng.choice("ABCDEFGH") + str(rng.randint(1, 14))
        key = rng.choice([key, key.lower(), "$" + key, key[0] + "0" + key[1:]])
        return rng.choice(["set_cell_fill", "set_cell_comment", "set_cell_hyperlink"]), key
    if kind < 38:
        top, left = rng.randint(1, 12), rng.randint(1, 6)
        cell_range = f"{velmo.get_column_letter(left)}{top}:{velmo.get_column_letter(left + rng.randint(0, 2))}{top + rng.randint(0, 3)}"
        return "move_range", (cell_range, rng.randint(1 - top, 4), rng.randint(1 - left, 3))
    return rng.choice(["insert_rows", "delete_rows", "insert_cols", "delete_cols"]), (rng.randint(1, 12), rng.randint(0, 2))


SET = {"set_cell_fill": (velmo.PatternFill("solid", start_color="FF00FF00"),), "set_cell_comment": ("note", "Ann"),
       "set_cell_hyperlink": ("https://example.org/",)}


def apply_step(ws, name, args):
    try:
        getattr(ws, name)(*((args, *SET[name]) if name in SET else args))
    except ValueError as e:
        return str(e)
    return None


# The cell setters on a sheet whose file wrote lower-case references reach the same cells as on a
# canonical one, whatever row and column edits and moves came between.
@pytest.mark.parametrize("seed", range(4))
def test_setters_on_a_lower_case_sheet_match_a_canonical_one(tmp_path, seed):
    rng = random.Random(seed)
    canonical, lower = spelled_book(tmp_path, str.upper), spelled_book(tmp_path, str.lower)
    for step in range(60):
        name, args = random_step(rng)
        assert apply_step(lower["Data"], name, args) == apply_step(canonical["Data"], name, args), (step, name, args)
        if step % 20 == 19:
            assert records(lower, tmp_path) == records(canonical, tmp_path), step


@pytest.fixture
def ranged_link(make_xlsx):
    """Sheet "S": a link to S!A9 over B2:C3 (stored on B2) and one to S!A8 on E5 alone."""

    def build(book):
        sheet = book.add_worksheet("S")
        sheet.write_url("B2", "internal:S!A9", string="go")
        sheet.write_url("E5", "internal:S!A8", string="too")

    path = make_xlsx(build)
    patch_part(path, "xl/worksheets/sheet1.xml", 'ref="B2"', 'ref="B2:C3"')
    return path


def links(root):
    return {h.get("ref"): h.get("location") for h in root.iter(M + "hyperlink")}


@pytest.mark.parametrize("edit, written", [
    (lambda ws: None, {"B2:C3": "S!A9", "E5": "S!A8"}),
    (lambda ws: ws.insert_rows(1), {"B3:C4": "S!A9", "E6": "S!A8"}),
    (lambda ws: ws.insert_rows(3, 2), {"B2:C3": "S!A9", "E7": "S!A8"}),  # inside it: the size stays
    (lambda ws: ws.delete_rows(3), {"B2:C3": "S!A9", "E4": "S!A8"}),
    (lambda ws: ws.delete_rows(2), {"E4": "S!A8"}),  # its cell's row
    (lambda ws: ws.insert_cols(2), {"C2:D3": "S!A9", "F5": "S!A8"}),
    (lambda ws: ws.delete_cols(1), {"A2:B3": "S!A9", "D5": "S!A8"}),
    (lambda ws: ws.delete_cols(2), {"D5": "S!A8"}),
    (lambda ws: ws.move_range("B2", rows=2, cols=1), {"C4:D5": "S!A9", "E5": "S!A8"}),
    (lambda ws: ws.move_range("C3:E5", rows=-1, cols=-1), {"D4": "S!A8"}),  # B2 overwritten
    (lambda ws: ws.move_range("B2", rows=1048574), {"B1048576:C1048576": "S!A9", "E5": "S!A8"}),
    (lambda ws: ws.set_cell_hyperlink("B2", "https://example.com/"), {"B2": None, "E5": "S!A8"}),
    (lambda ws: ws.__setitem__("B2", 7), {"B2:C3": "S!A9", "E5": "S!A8"}),
])
def test_a_ranged_link_goes_with_its_cell_and_keeps_its_size(ranged_link, tmp_path, edit, written):
    wb = velmo.load_workbook(ranged_link)
    ws = wb.active
    assert ws["B2"].hyperlink.location == "S!A9" and ws["C3"].hyperlink is None
    edit(ws)
    assert links(saved_sheet(wb, tmp_path)) == written
    again = velmo.load_workbook(str(tmp_path / "edited.xlsx"))
    assert links(saved_sheet(again, tmp_path)) == written


def test_filter_criteria_last_while_the_range_stands(make_xlsx, tmp_path):
    def build(book):
        sheet = book.add_worksheet()
        for row in range(1, 52):
            sheet.write_row(row - 1, 0, ["East" if row % 2 else "West", "item", row * 200, "May"])
        sheet.autofilter("A1:D51")
        sheet.filter_column("A", "x == East")
        sheet.filter_column("C", "x > 3000 and x < 8000")

    path = make_xlsx(build)
    with zipfile.ZipFile(path) as z:
        source = ElementTree.fromstring(z.read("xl/worksheets/sheet1.xml")).find(M + "autoFilter")
    assert len(source) == 2
    wb = velmo.load_workbook(path)
    ws = wb.active
    ws.insert_rows(2)  # edits leave the filter as it stands
    assert ws.auto_filter.ref == "A1:D51"
    kept = saved_sheet(wb, tmp_path).find(M + "autoFilter")
    assert ElementTree.tostring(kept) == ElementTree.tostring(source)
    # Any range set from Python, even the one it had, starts a filter without criteria.
    for ref in ("A1:D51", "B1:C9"):
        ws.auto_filter.ref = ref
        new = saved_sheet(wb, tmp_path).find(M + "autoFilter")
        assert (new.attrib, len(new)) == ({"ref": ref}, 0)
    ws.auto_filter.ref = None
    assert saved_sheet(wb, tmp_path).find(M + "autoFilter") is None


# ---- freeze panes and print settings ----

@pytest.mark.parametrize("text, stored", [
    ("b2", "B2"), (" C3 ", "C3"), ("A1", None), ("a1", None), ("$B$2", None), ("B2:C3", None), ("  ", None),
    ("junk", None), (None, None),
])
def test_freeze_panes_are_normalised(ws, text, stored):
    ws.freeze_panes = "D4"
    ws.freeze_panes = text
    assert ws.freeze_panes == stored


def test_print_area_is_stored_absolute_and_read_with_the_title(ws):
    ws.print_area = "A1:B2"
    assert ws.print_area == "'Sheet'!$A$1:$B$2"
    ws.print_area = "Other!A1:B2,C3"
    assert ws.print_area == "'Sheet'!$A$1:$B$2,'Sheet'!$C$3"
    ws.print_area = ws.print_area  # the getter's text stores the same setting again
    assert ws.print_area == "'Sheet'!$A$1:$B$2,'Sheet'!$C$3"
    ws.print_area = " , "
    assert ws.print_area is None


def test_print_titles(ws):
    ws.print_title_rows = "1:2"
    ws.print_title_cols = "Sheet!A:B"
    assert (ws.print_title_rows, ws.print_title_cols) == ("$1:$2", "$A:$B")
    ws.print_title_rows = ","
    ws.print_title_cols = None
    assert (ws.print_title_rows, ws.print_title_cols) == (None, None)


@pytest.mark.parametrize("name", ["freeze_panes", "print_area", "print_title_rows", "print_title_cols"])
def test_settings_refuse_deletion_and_non_text(ws, name):
    with pytest.raises(AttributeError) as e:
        delattr(ws, name)
    assert e.value.args == ("can't delete attribute",)
    with pytest.raises(TypeError, match="argument 'value'"):
        setattr(ws, name, 5)


def test_settings_survive_a_save(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws.freeze_panes = "b3"
    ws.print_area = "A1:D20"
    ws.print_title_rows = "1:1"
    ws.print_title_cols = "A:A"
    ws.auto_filter.ref = "A1:D20"
    path = str(tmp_path / "settings.xlsx")
    wb.save(path)
    back = velmo.load_workbook(path).active
    assert back.freeze_panes == "B3"
    assert back.print_area == "'Sheet'!$A$1:$D$20"
    assert (back.print_title_rows, back.print_title_cols) == ("$1:$1", "$A:$A")
    assert back.auto_filter.ref == "A1:D20"


@pytest.mark.parametrize("frozen, set_to, view_top_left, pane", [
    # Set, replaced or cleared from Python, a pane counts from A1 whatever the source scrolled to.
    (False, "C3", None, ("C3", "2", "2")),
    (True, None, None, None),
    # Left alone, or set to what it was, the view stays as loaded.
    (True, "keep", "A16", ("A2", None, "1")),
    (True, "A2", "A16", ("A2", None, "1")),
])
def test_a_pane_set_on_a_scrolled_view_counts_from_a1(make_xlsx, tmp_path, frozen, set_to, view_top_left, pane):
    def build(book):
        sheet = book.add_worksheet("S")
        sheet.set_top_left_cell(15, 0)  # the view scrolled to A16
        if frozen:
            sheet.freeze_panes(1, 0)

    wb = velmo.load_workbook(make_xlsx(build))
    if set_to != "keep":
        wb["S"].freeze_panes = set_to
    views = saved_sheet(wb, tmp_path).findall(f"{M}sheetViews/{M}sheetView")
    assert len(views) == 1 and views[0].get("topLeftCell") == view_top_left
    written = views[0].find(M + "pane")
    assert (None if written is None else (written.get("topLeftCell"), written.get("xSplit"), written.get("ySplit"))) == pane


# ---- auto filter and the other views ----

def test_auto_filter_is_a_live_view(ws):
    first, second = ws.auto_filter, ws.auto_filter
    assert first is not second and first.ref is None
    first.ref = "  A1:D10\n"
    assert second.ref == "A1:D10"
    first.ref = "not validated"
    assert ws.auto_filter.ref == "not validated"
    for clear in (" \t", None):
        ws.auto_filter.ref = "A1:B2"
        second.ref = clear
        assert first.ref is None
    with pytest.raises(AttributeError) as e:
        del first.ref
    assert e.value.args == ("can't delete attribute",)
    with pytest.raises(TypeError, match="argument 'value'"):
        first.ref = ["A1"]



# ---- edits at the grid's edges ----
#
# A reference model of one sheet: cells {(row, col): kinds}, merged ranges and tables as (row1, col1,
# row2, col2), and the rows and columns with a height or width. An insertion that would push content
# or a merged range past the last row or column is refused with nothing changed; formatting that
# falls off (blank styled cells, widths, heights) is cut at the edge.

LIMITS = (1048576, 16384)
CONTENT = {"value", "formula", "note", "link", "error"}


def a1(row, col):
    return f"{velmo.get_column_letter(col)}{row}"


def expected_after(model, edit):
    """The model after `edit` (method name, idx, amount), or a piece of the refusal's message."""
    method, idx, n = edit
    axis, insert = int(method.endswith("cols")), method.startswith("insert")

    def line(p):
        return p if p < idx else p + n if insert else None if p < idx + n else p - n

    def moved(pos):
        q = line(pos[axis])
        return None if q is None else (q, pos[1]) if axis == 0 else (pos[0], q)

    if any(t[2 + axis] >= idx for t in model["tables"]):
        return "operation intersects table range"
    cells = {}
    for pos, kinds in model["cells"].items():
        q = moved(pos)
        if q and q[axis] > LIMITS[axis] and CONTENT.intersection(kinds):
            return "would push cell"
        if q and q[axis] <= LIMITS[axis]:
            cells[q] = kinds
    ranges = []
    for r in model["merged"]:
        lo, hi = r[axis], r[2 + axis]
        if insert and hi >= idx and hi + n > LIMITS[axis]:
            return "would push merged range"
        if insert or hi < idx or lo >= idx + n:
            ranges.append(moved(r[:2]) + moved(r[2:]))
    sizes = {name: {q for q in map(line, model[name]) if q and q <= LIMITS[axis]} if i == axis else model[name]
             for i, name in enumerate(("heights", "widths"))}
    return {"cells": cells, "merged": ranges, "tables": model["tables"], **sizes}


def shown(model):
    """What a saved package should show of the model, as contents() reads it."""
    out = {k: sorted(a1(*pos) for pos, kinds in model["cells"].items() if k in kinds) for k in CONTENT | {"styled"}}
    for name, key in (("merged", "merged"), ("table", "tables")):
        out[name] = [f"{a1(*r[:2])}:{a1(*r[2:])}" for r in model[key]]
    return out | {"heights": sorted(model["heights"]), "widths": sorted(model["widths"])}


def contents(path):
    """Where a saved package holds each kind of record."""
    out = {k: [] for k in CONTENT | {"styled"}}
    with zipfile.ZipFile(path) as z:
        sheet = ElementTree.fromstring(z.read("xl/worksheets/sheet1.xml"))
        for c in sheet.iter(M + "c"):
            kind = ("formula" if c.find(M + "f") is not None else "error" if c.get("t") == "e"
                    else "value" if c.find(M + "v") is not None else "styled" if c.get("s", "0") != "0" else None)
            if kind:
                out[kind].append(c.get("r"))
        # Notes and tables through the sheet's relationships: a part nothing refers to shows nothing.
        rels = "xl/worksheets/_rels/sheet1.xml.rels"
        targets = [r.get("Target") for r in ElementTree.fromstring(z.read(rels))] if rels in z.namelist() else []
        parts = [ElementTree.fromstring(z.read(posixpath.normpath("xl/worksheets/" + t))) for t in targets
                 if t.endswith(".xml") and not t.startswith("/")]
    out["link"] = [h.get("ref") for h in sheet.iter(M + "hyperlink")]
    out["note"] = [c.get("ref") for p in parts for c in p.iter(M + "comment")]
    out = {k: sorted(v) for k, v in out.items()}
    out["table"] = [p.get("ref") for p in parts if p.tag == M + "table"]
    cols = sheet.iter(M + "col")
    return out | {"merged": merged(sheet), "heights": sorted(heights(sheet)),
                  "widths": [n for c in cols if c.get("width") for n in range(int(c.get("min")), int(c.get("max")) + 1)]}


def edge_book(make_xlsx, tmp_path, kind, last):
    """A loaded workbook holding one record of `kind` at the grid's first or last corner, and its model."""
    r, c = LIMITS if last else (1, 1)
    block = (r - 1, c - 1, r, c) if last else (1, 1, 2, 2)
    model = {"cells": {}, "merged": [], "tables": [], "heights": set(), "widths": set()}
    if kind in CONTENT | {"styled"}:
        model["cells"][(r, c)] = ("link", "value") if kind == "link" else (kind,)  # a link comes with its text
    elif kind in ("merged", "tables"):
        model[kind] = [block]
    else:  # widths as formatting whole columns writes them: a span to the last column
        model[kind] = {r} if kind == "heights" else set(range(6, c + 1)) if last else {1, 2, 3}
    if kind == "error":
        data = f'<row r="{r}"><c r="{a1(r, c)}" t="e"><v>#N/A</v></c></row>'
        return velmo.load_workbook(hand_made(tmp_path / "e.xlsx", [("S", "xl/worksheets/sheet1.xml", data, None)])), model
    corners = [v - 1 for v in block]
    build = {
        "value": lambda book, s: s.write_number(r - 1, c - 1, 1),
        "formula": lambda book, s: s.write_formula(r - 1, c - 1, "=1+1"),
        "note": lambda book, s: s.write_comment(r - 1, c - 1, "n"),
        "link": lambda book, s: s.write_url(r - 1, c - 1, "https://example.com/"),
        "styled": lambda book, s: s.write_blank(r - 1, c - 1, None, book.add_format({"bg_color": "#FFFF00"})),
        "merged": lambda book, s: s.merge_range(*corners, None),
        "tables": lambda book, s: s.add_table(*corners, {"header_row": False}),
        "heights": lambda book, s: s.set_row(r - 1, 30),
        "widths": lambda book, s: s.set_column(min(model["widths"]) - 1, max(model["widths"]) - 1, 20),
    }[kind]
    return velmo.load_workbook(make_xlsx(lambda book: build(book, book.add_worksheet()))), model


def attempt(wb, model, edit, tmp_path, step=0):
    """Runs the edit on the active sheet and checks it against the model: a refusal changes nothing a
    save writes; an accepted edit saves, and reloads, as the model says. Returns the model after it."""
    before, after = tmp_path / f"before{step}.xlsx", tmp_path / f"after{step}.xlsx"
    wb.save(str(before))
    expected = expected_after(model, edit)
    try:
        getattr(wb.active, edit[0])(*edit[1:])
    except ValueError as e:
        assert isinstance(expected, str) and expected in str(e), (edit, str(e))
        wb.save(str(after))
        assert after.read_bytes() == before.read_bytes()
        return model
    assert not isinstance(expected, str), (edit, expected)
    wb.save(str(after))
    check_package(after)
    assert contents(after) == shown(expected), edit
    velmo.load_workbook(str(after)).save(str(before))
    assert contents(before) == shown(expected), edit
    return expected


@pytest.mark.parametrize("edit", [("insert_rows", 1, 2), ("delete_rows", 1, 1), ("insert_cols", 2, 2),
                                  ("delete_cols", 16384, 1), ("insert_rows", 1048575, 1)])
@pytest.mark.parametrize("last", [False, True], ids=["first", "last"])
@pytest.mark.parametrize("kind", sorted(CONTENT) + ["merged", "tables", "widths", "heights", "styled"])
def test_edits_at_the_grid_edges_save_or_change_nothing(make_xlsx, tmp_path, kind, last, edit):
    attempt(*edge_book(make_xlsx, tmp_path, kind, last), edit, tmp_path)


def test_random_edits_near_the_edges_save_or_change_nothing(tmp_path):
    for seed in range(25):
        rng = random.Random(seed)
        near = [lambda i=i: rng.choice([1, 2, 3, LIMITS[i] - 2, LIMITS[i] - 1, LIMITS[i]]) for i in (0, 1)]
        wb = velmo.Workbook()
        ws = wb.active
        model = {"cells": {}, "merged": [], "tables": [], "heights": set(), "widths": set()}
        place = {
            "value": lambda ref: ws.__setitem__(ref, 1),
            "formula": lambda ref: ws.__setitem__(ref, "=1+1"),
            "note": lambda ref: ws.set_cell_comment(ref, "n", "a"),
            "link": lambda ref: ws.set_cell_hyperlink(ref, "https://example.com/"),
            "styled": lambda ref: ws.set_cell_fill(ref, velmo.PatternFill("solid", start_color="FFFFFF00")),
        }
        for _ in range(6):
            pos, kind = (near[0](), near[1]()), rng.choice(sorted(place))
            if pos not in model["cells"]:
                place[kind](a1(*pos))
                model["cells"][pos] = (kind,)
        for _ in range(rng.randint(0, 2)):
            r, c = near[0](), near[1]()
            model["merged"].append((max(1, r - rng.randint(0, 2)), max(1, c - rng.randint(0, 2)), r, c))
            ws.merge_cells(f"{a1(*model['merged'][-1][:2])}:{a1(r, c)}")
        for i, (name, setter) in enumerate((("heights", ws.row_height), ("widths", ws.column_width))):
            model[name] = {near[i]() for _ in range(rng.randint(0, 3))}
            for line in model[name]:
                setter(line, 20)
        for step in range(6):
            method = rng.choice(["insert_rows", "delete_rows", "insert_cols", "delete_cols"])
            limit, n = LIMITS[int(method.endswith("cols"))], rng.randint(1, 3)
            idx = rng.choice([1, 2, 3, limit - 3 - n, limit - n, limit])
            model = attempt(wb, model, (method, min(idx, limit - n) if method[0] == "i" else idx, n), tmp_path, step)
