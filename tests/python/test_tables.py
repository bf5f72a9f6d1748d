"""Tables: detached and attached Table objects, the TableList view, add_table, and tables through a save."""

import posixpath
import re
import zipfile
from xml.etree import ElementTree

import pytest

import velmo
from package_check import _resolve as resolve
from package_check import check_package, raw_entries, rewrite_entries, unreached_parts
from test_save import CT_HEAD, RELTYPE, WS_CT, hand_made, rel, rels, rels_of, saved

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"


def sheet_with_headers(*headers):
    wb = velmo.Workbook()
    ws = wb.active
    for col, text in zip("ABCDEFGH", headers):
        ws[f"{col}1"] = text
    return wb, ws


def read_part(path, name):
    with zipfile.ZipFile(path) as z:
        return z.read(name)


# ---- value classes ----


def test_detached_table_holds_what_it_was_given():
    t = velmo.Table("Sales", "A1:C4")
    assert (t.name, t.displayName, t.ref) == ("Sales", "Sales", "A1:C4")
    assert t.tableColumns == []
    assert t.tableStyleInfo is None
    t2 = velmo.Table(ref="not a range", displayName="")
    assert (t2.displayName, t2.ref) == ("", "not a range")


@pytest.mark.parametrize("args, kwargs, arg", [
    ((1, "A1:B2"), {}, "displayName"),
    (("T", b"A1:B2"), {}, "ref"),
])
def test_table_constructor_types(args, kwargs, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}'"):
        velmo.Table(*args, **kwargs)


def test_style_info_flags_are_keyword_only_bools():
    s = velmo.TableStyleInfo("TableStyleMedium9", showFirstColumn=True, showColumnStripes=True)
    assert s.name == "TableStyleMedium9"
    assert (s.showFirstColumn, s.showLastColumn, s.showRowStripes, s.showColumnStripes) == (True, False, False, True)
    assert velmo.TableStyleInfo(name="").name == ""
    with pytest.raises(TypeError):
        velmo.TableStyleInfo("S", True)
    for bad in (1, None, "yes"):
        with pytest.raises(TypeError, match="argument 'showRowStripes'"):
            velmo.TableStyleInfo("S", showRowStripes=bad)
    with pytest.raises(TypeError, match="argument 'name'"):
        velmo.TableStyleInfo(None)


def test_style_info_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    assert velmo.TableStyleInfo("S", showLastColumn=np.bool_(True)).showLastColumn is True


# ---- add_table ----


def test_add_table_derives_columns_in_the_workbook_copy_only():
    wb, ws = sheet_with_headers("Region", "Amount", "Region")
    t = velmo.Table("Sales", "A1:C4")
    assert ws.add_table(t) is None
    assert t.tableColumns == []  # the object passed in stays detached and unchanged
    cols = ws.tables["Sales"].tableColumns
    assert [(c.id, c.name) for c in cols] == [(1, "Region"), (2, "Amount"), (3, "Region1")]
    # Restyling the detached original afterwards does not reach the workbook.
    t.tableStyleInfo = velmo.TableStyleInfo("TableStyleDark1")
    assert ws.tables["Sales"].tableStyleInfo is None


def test_add_table_refusals_leave_the_workbook_unchanged():
    wb = velmo.Workbook()
    ws = wb.active
    ws.add_table(velmo.Table("Sales", "A1:C4"))
    with pytest.raises(ValueError) as exc:
        ws.add_table(velmo.Table("SALES", "E1:F4"))
    assert exc.value.args == ("Table with name SALES already exists",)
    with pytest.raises(ValueError) as exc:
        ws.add_table(velmo.Table("Other", "C1:A4"))
    assert exc.value.args == ('table ref_range "C1:A4" does not parse to at least one column',)
    with pytest.raises(ValueError, match="does not parse"):
        ws.add_table(velmo.Table("Other", "nonsense"))
    assert ws.tables.keys() == ["Sales"]
    ws.add_table(velmo.Table("Other", "A4:C1"))  # reversed rows are accepted
    assert ws.tables.keys() == ["Sales", "Other"]


def test_add_table_refuses_spans_wider_than_the_grid():
    ws = velmo.Workbook().active
    with pytest.raises(ValueError, match="columns; at most 16384"):
        ws.add_table(velmo.Table("Wide", "A1:ZZZZZ1"))
    assert len(ws.tables) == 0
    ws["A1"] = "still usable"
    assert ws["A1"].value == "still usable"


def test_add_table_argument_checks():
    wb = velmo.Workbook()
    ws = wb.active
    ws.add_table(velmo.Table("Sales", "A1:B2"))
    attached = ws.tables["Sales"]
    with pytest.raises(ValueError) as exc:
        ws.add_table(attached)
    assert exc.value.args == ("Cannot add an attached table; use detached Table(...) constructor",)
    # Refused as attached even in a workbook where the name would be free.
    with pytest.raises(ValueError, match="attached table"):
        velmo.Workbook().active.add_table(attached)
    with pytest.raises(TypeError, match="argument 'table'"):
        ws.add_table("Sales")
    with pytest.raises(TypeError):
        ws.add_table()
    ws.add_table(table=velmo.Table("ByKeyword", "D1:E2"))
    assert "ByKeyword" in ws.tables


# ---- TableList ----


def test_table_list_name_comparisons():
    ws = velmo.Workbook().active
    ws.add_table(velmo.Table("Sales", "A1:B3"))
    tables = ws.tables
    assert "Sales" in tables and "sales" not in tables
    with pytest.raises(KeyError) as exc:
        tables["sales"]
    assert exc.value.args == ("sales",)
    with pytest.raises(TypeError, match="argument 'name'"):
        1 in tables
    with pytest.raises(TypeError, match="argument 'name'"):
        tables[1]
    # Deletion matches without regard to ASCII case.
    del tables["SALES"]
    assert len(tables) == 0


def test_table_list_item_assignment_is_refused():
    ws = velmo.Workbook().active
    for key, value in (("T", velmo.Table("T", "A1:B2")), (1, None), (object(), 5)):
        with pytest.raises(NotImplementedError) as exc:
            ws.tables[key] = value
        assert exc.value.args == ("can't set item",)
    assert len(ws.tables) == 0


def test_table_list_views_are_live_and_iterators_are_snapshots():
    ws = velmo.Workbook().active
    tables = ws.tables
    assert ws.tables is not tables
    ws.add_table(velmo.Table("A", "A1:B2"))
    ws.add_table(velmo.Table("B", "D1:E2"))
    assert tables.keys() == ["A", "B"]  # made before the adds, reads the sheet anew
    it = iter(tables)
    assert iter(it) is it
    del tables["A"]
    assert list(it) == ["A", "B"]
    assert len(tables) == 1
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_tables_are_per_sheet_but_names_are_workbook_wide(make_xlsx):
    path = make_xlsx(lambda b: (b.add_worksheet("One"), b.add_worksheet("Two")))
    wb = velmo.load_workbook(path)
    one, two = wb["One"], wb["Two"]
    one.add_table(velmo.Table("Shared", "A1:B2"))
    assert len(two.tables) == 0
    with pytest.raises(ValueError, match="Table with name sHARED already exists"):
        two.add_table(velmo.Table("sHARED", "A1:B2"))


# ---- attached tables ----


def test_attached_table_follows_the_workbook():
    ws = velmo.Workbook().active
    ws.add_table(velmo.Table("T", "A1:B2"))
    attached = ws.tables["T"]
    del ws.tables["T"]
    for attr in ("name", "ref", "displayName", "tableColumns", "tableStyleInfo"):
        with pytest.raises(KeyError) as exc:
            getattr(attached, attr)
        assert exc.value.args == ("T",)
    with pytest.raises(KeyError):
        attached.tableStyleInfo = None
    ws.add_table(velmo.Table("T", "C3:D9"))
    assert attached.ref == "C3:D9"


def test_attached_style_setter_reaches_fresh_lookups():
    ws = velmo.Workbook().active
    ws.add_table(velmo.Table("T", "A1:B2"))
    ws.tables["T"].tableStyleInfo = velmo.TableStyleInfo("TableStyleMedium4", showLastColumn=True)
    style = ws.tables["T"].tableStyleInfo
    assert (style.name, style.showLastColumn) == ("TableStyleMedium4", True)
    ws.tables["T"].tableStyleInfo = None
    assert ws.tables["T"].tableStyleInfo is None
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del ws.tables["T"].tableStyleInfo
    with pytest.raises(TypeError, match="argument 'value'"):
        ws.tables["T"].tableStyleInfo = velmo.Table("X", "A1:B2")


@pytest.fixture
def case_twins(make_xlsx, tmp_path):
    """A package whose one sheet holds tables Alpha (A1:B3) and ALPHA (D1:E5)."""

    def build(book):
        sheet = book.add_worksheet("Data")
        sheet.add_table("A1:B3", {"name": "Alpha"})
        sheet.add_table("D1:E5", {"name": "Beta"})

    path = make_xlsx(build)
    rewrite_entries(path, {"xl/tables/table2.xml": lambda b: b.replace(b'"Beta"', b'"ALPHA"')})
    return path


def test_case_twins_exact_reads_and_folded_writes(case_twins):
    wb = velmo.load_workbook(case_twins)
    tables = wb["Data"].tables
    assert tables.keys() == ["Alpha", "ALPHA"]
    second = tables["ALPHA"]
    assert second.ref == "D1:E5"
    # The setter and deletion take the first match under ASCII case folding: the first table.
    second.tableStyleInfo = velmo.TableStyleInfo("TableStyleLight2")
    assert tables["Alpha"].tableStyleInfo.name == "TableStyleLight2"
    assert second.tableStyleInfo.name != "TableStyleLight2"
    with pytest.raises(ValueError) as exc:
        wb.save(str(case_twins) + ".out.xlsx")
    assert exc.value.args == ("duplicate table displayName: ALPHA",)
    del tables["ALPHA"]
    assert tables.keys() == ["ALPHA"]


# ---- through a save ----


def table_xml(path, name):
    return ElementTree.fromstring(read_part(path, name))


def test_api_table_is_written_and_reads_back(tmp_path):
    wb, ws = sheet_with_headers("Name", "Qty")
    ws["A2"], ws["B2"] = "bolt", 3
    t = velmo.Table("Parts", "A1:B2")
    t.tableStyleInfo = velmo.TableStyleInfo("TableStyleMedium9", showRowStripes=True)
    ws.add_table(t)
    path = str(tmp_path / "out.xlsx")
    wb.save(path)
    check_package(path)

    root = table_xml(path, "xl/tables/table1.xml")
    assert (root.get("displayName"), root.get("name"), root.get("ref")) == ("Parts", "Parts", "A1:B2")
    assert [c.get("name") for c in root.iter(MAIN + "tableColumn")] == ["Name", "Qty"]
    style = root.find(MAIN + "tableStyleInfo")
    assert style.get("name") == "TableStyleMedium9" and style.get("showRowStripes") == "1"

    back = velmo.load_workbook(path).active.tables
    assert back.keys() == ["Parts"]
    assert [(c.id, c.name) for c in back["Parts"].tableColumns] == [(1, "Name"), (2, "Qty")]
    assert back["Parts"].tableStyleInfo.showRowStripes is True


def test_loaded_table_is_copied_until_restyled(make_xlsx, tmp_path):
    def build(book):
        sheet = book.add_worksheet("Data")
        sheet.write_row("A1", ["k", "v"])
        sheet.add_table("A1:B3", {"name": "Kept", "style": "Table Style Light 11"})
        sheet.add_table("D1:E3", {"name": "Restyled"})

    src = make_xlsx(build)
    original = {n: read_part(src, n) for n in ("xl/tables/table1.xml", "xl/tables/table2.xml")}

    wb = velmo.load_workbook(src)
    # A lookup through the getters alone does not count as a change.
    assert wb["Data"].tables["Kept"].ref == "A1:B3"
    wb["Data"].tables["Restyled"].tableStyleInfo = velmo.TableStyleInfo("TableStyleDark3")
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    check_package(out)
    assert read_part(out, "xl/tables/table1.xml") == original["xl/tables/table1.xml"]
    assert read_part(out, "xl/tables/table2.xml") != original["xl/tables/table2.xml"]
    assert table_xml(out, "xl/tables/table2.xml").find(MAIN + "tableStyleInfo").get("name") == "TableStyleDark3"

    back = velmo.load_workbook(out)["Data"].tables
    assert back.keys() == ["Kept", "Restyled"]
    assert back["Restyled"].tableStyleInfo.name == "TableStyleDark3"


def test_deleted_loaded_table_is_not_saved(make_xlsx, tmp_path):
    def build(book):
        sheet = book.add_worksheet("Data")
        sheet.add_table("A1:B3", {"name": "Gone"})

    wb = velmo.load_workbook(make_xlsx(build))
    del wb["Data"].tables["gone"]
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    check_package(out)
    with zipfile.ZipFile(out) as z:
        assert not [n for n in z.namelist() if n.startswith("xl/tables/")]
    assert len(velmo.load_workbook(out)["Data"].tables) == 0


# ---- parts beside the tables ----
# A save names table parts afresh (1..T over the sheets); what the source held next to them is
# told apart by relationship type, never by folder, and what belongs to a table goes with it.

CT = "application/vnd.openxmlformats-officedocument.spreadsheetml."
TABLE_CT, QUERY_CT, CELLS_CT = CT + "table+xml", CT + "queryTable+xml", CT + "tableSingleCells+xml"
NS = MAIN[1:-1]
ROW = '<row r="1"><c r="A1" t="inlineStr"><is><t>k</t></is></c><c r="B1" t="inlineStr"><is><t>v</t></is></c></row>'


def rels_name(part):
    folder, base = part.rsplit("/", 1)
    return f"{folder}/_rels/{base}.rels"


def declared(path, content_type):
    root = ElementTree.fromstring(read_part(path, "[Content_Types].xml"))
    return sorted(o.get("PartName") for o in root if o.get("ContentType") == content_type)


# The name a new table would take may be the map's: the table then takes the next one.
@pytest.mark.parametrize("part, table", [("xl/tables/tableSingleCells1.xml", "/xl/tables/table1.xml"),
                                         ("xl/tables/table1.xml", "/xl/tables/table2.xml")])
def test_an_xml_map_part_beside_the_tables_is_copied(tmp_path, part, table):
    cells = f'<singleXmlCells xmlns="{NS}"><singleXmlCell id="1" r="C1" connectionId="0"/></singleXmlCells>'
    target = "../" + part.removeprefix("xl/")
    src = hand_made(tmp_path / "src.xlsx", [("Data", "xl/worksheets/sheet1.xml", ROW, rels(rel("rId1", "tableSingleCells", target)))],
                    extra=[(part, cells), (rels_name(part), rels(rel("rId1", "customXml", "../maps/m.xml"))),
                           ("xl/maps/m.xml", "<m/>")],
                    content_types=CT_HEAD + f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{WS_CT}"/>'
                                            f'<Override PartName="/{part}" ContentType="{CELLS_CT}"/></Types>')
    wb = velmo.load_workbook(src)
    wb["Data"].add_table(velmo.Table("Added", "A1:B2"))
    # Saved twice, from the copy too: nothing in it is taken for a changed source.
    out = saved(velmo.load_workbook(saved(wb, tmp_path / "out.xlsx")), tmp_path / "again.xlsx")
    before, after = raw_entries(src), raw_entries(out)
    assert all(after[name] == before[name] for name in (part, rels_name(part), "xl/maps/m.xml"))
    assert declared(out, CELLS_CT) == ["/" + part] and declared(out, TABLE_CT) == [table]
    assert ("rId1", "tableSingleCells", target, None) in rels_of(out, "xl/worksheets/_rels/sheet1.xml.rels")
    assert velmo.load_workbook(out)["Data"].tables.keys() == ["Added"]


def queried_source(path, swapped=False, elsewhere=False):
    """Sheets "First" and "Second" holding the query tables "One" and "Two", each table part related
    to its own query table part queryTable1.xml and queryTable2.xml. `swapped`: One lies in
    table2.xml and Two in table1.xml; `elsewhere`: One lies outside the tables folder."""
    parts = ["xl/tables/table1.xml", "xl/tables/table2.xml"][:: -1 if swapped else 1]
    if elsewhere:
        parts[0] = "xl/other/one.xml"
    extra, types = [], ""
    for n, (display, part) in enumerate(zip(["One", "Two"], parts), 1):
        query = f"xl/queryTables/queryTable{n}.xml"
        extra += [(part, f'<table xmlns="{NS}" id="{n}" name="{display}" displayName="{display}" ref="A1:B2" '
                         'tableType="queryTable"><tableColumns count="2"><tableColumn id="1" name="k" queryTableFieldId="1"/>'
                         '<tableColumn id="2" name="v" queryTableFieldId="2"/></tableColumns></table>'),
                  (query, f'<queryTable xmlns="{NS}" name="Query {n}" connectionId="{n}"/>'),
                  (rels_name(part), rels(rel("rId1", "queryTable", posixpath.relpath(query, posixpath.dirname(part)))))]
        types += f'<Override PartName="/{part}" ContentType="{TABLE_CT}"/><Override PartName="/{query}" ContentType="{QUERY_CT}"/>'
    sheets = [(title, f"xl/worksheets/sheet{n}.xml", ROW, rels(rel("rId1", "table", "/" + part)))
              for n, (title, part) in enumerate(zip(["First", "Second"], parts), 1)]
    return hand_made(path, sheets, extra=extra, content_types=CT_HEAD + "".join(
        f'<Override PartName="/{p}" ContentType="{WS_CT}"/>' for _, p, *_ in sheets) + types + "</Types>")


def query_tables_of(path):
    """Display name of each table part -> the query table parts its own relationships name."""
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        tables = [n for n in names if re.fullmatch(r"xl/tables/[^/]+\.xml", n)]
        own = {t: ElementTree.fromstring(z.read(rels_name(t))) if rels_name(t) in names else [] for t in tables}
        stale = [n for n in names if n.startswith("xl/tables/_rels/") and n.removesuffix(".rels").replace("_rels/", "") not in names]
        return stale + sorted((ElementTree.fromstring(z.read(t)).get("displayName"), [resolve(t, r.get("Target")) for r in own[t]])
                              for t in tables)


def add_before(wb):
    wb["First"]["D1"] = "h"
    wb["First"].add_table(velmo.Table("Added", "D1:D2"))


@pytest.mark.parametrize("source, edit, queries", [
    ({}, None, {"One": 1, "Two": 2}),
    ({}, lambda wb: setattr(wb["Second"].tables["Two"], "tableStyleInfo", velmo.TableStyleInfo("TableStyleDark3")),
     {"One": 1, "Two": 2}),
    # Two moves from table2.xml to table3.xml; Added takes table2.xml and nothing of Two's.
    ({}, add_before, {"Added": None, "One": 1, "Two": 2}),
    # Each table's part takes the other's name.
    ({"swapped": True}, None, {"One": 1, "Two": 2}),
    ({"elsewhere": True}, None, {"One": 1, "Two": 2}),
    # What only the deleted table reached goes with it.
    ({}, lambda wb: wb["Second"].tables.__delitem__("Two"), {"One": 1}),
], ids=["unchanged", "restyled", "renumbered", "swapped names", "stored elsewhere", "deleted"])
def test_a_tables_own_relationships_go_with_it(tmp_path, source, edit, queries):
    src = queried_source(tmp_path / "src.xlsx", **source)
    wb = velmo.load_workbook(src)
    if edit:
        edit(wb)
    out = saved(wb, tmp_path / "out.xlsx")
    want = [(t, [f"xl/queryTables/queryTable{n}.xml"] if n else []) for t, n in queries.items()]
    assert query_tables_of(out) == want
    assert query_tables_of(saved(velmo.load_workbook(out), tmp_path / "again.xlsx")) == want
    assert not unreached_parts(out)
    kept = [f"xl/queryTables/queryTable{n}.xml" for n in queries.values() if n]
    assert declared(out, QUERY_CT) == ["/" + q for q in kept]
    before, after = raw_entries(src), raw_entries(out)
    assert all(after[q] == before[q] for q in kept)


# ---- column names follow their header cells ----


@pytest.mark.parametrize("loaded", [False, True])
@pytest.mark.parametrize("writes, names", [
    ({"A3": "body", "B2": 7}, ["Name", "Qty", "Price"]),  # body cells: a loaded part stays as it was
    ({"A1": None, "B1": "name", "C1": 2024}, ["Name", "name1", "2024"]),  # an empty header keeps its name
])
def test_columns_are_named_as_their_header_cells(make_xlsx, tmp_path, loaded, writes, names):
    if loaded:
        src = make_xlsx(lambda book: book.add_worksheet("Sheet").add_table(
            "A1:C3", {"name": "T", "columns": [{"header": h} for h in ("Name", "Qty", "Price")]}))
        wb = velmo.load_workbook(src)
        ws = wb.active
    else:
        wb, ws = sheet_with_headers("Name", "Qty", "Price")
        ws.add_table(velmo.Table("T", "A1:C3"))
    for key, value in writes.items():
        ws[key] = value
    assert [c.name for c in ws.tables["T"].tableColumns] == names
    out = saved(wb, tmp_path / "out.xlsx")
    part = read_part(out, "xl/tables/table1.xml")
    assert [c.get("name") for c in ElementTree.fromstring(part).iter(MAIN + "tableColumn")] == names
    if loaded:
        assert (part == read_part(src, "xl/tables/table1.xml")) is (names == ["Name", "Qty", "Price"])
    assert [c.name for c in velmo.load_workbook(out).active.tables["T"].tableColumns] == names
