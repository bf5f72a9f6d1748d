"""What a cell holds beyond its value (text runs, error values, metadata indexes) and whether a
sheet is shown come back from a save while the user leaves them be; a new value drops what rode
with the old one. From Python the values read as before."""

import copy
import zipfile
from xml.etree import ElementTree

import velmo
from test_save import MAIN, MC, OFFICE, hand_made, saved

SHEET = "xl/worksheets/sheet1.xml"
SST_HEAD = '<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
BOLD_RED = ('<si><r><rPr><b/><sz val="11"/><color rgb="FFFF0000"/><rFont val="Calibri"/></rPr><t>Bold</t></r>'
            '<r><t xml:space="preserve"> red</t></r></si>')
PHONETIC = '<si><t>漢字</t><rPh sb="0" eb="2"><t>かんじ</t></rPh><phoneticPr fontId="0" type="noConversion"/></si>'
INLINE_RICH = '<is><r><rPr><i/></rPr><t>lean</t></r><r><t>ing</t></r></is>'


def xml_of(element):
    element = copy.deepcopy(element)
    element.tail = None
    return ElementTree.tostring(element, encoding="unicode")


def cells_of(path, part=SHEET):
    """Every cell element of a sheet part: reference -> (t, v text, vm, cm, si element xml or None)."""
    with zipfile.ZipFile(path) as z:
        sheet = ElementTree.fromstring(z.read(part))
        names = z.namelist()
        items = list(ElementTree.fromstring(z.read("xl/sharedStrings.xml"))) if "xl/sharedStrings.xml" in names else []
    out = {}
    for c in sheet.iter(MAIN + "c"):
        v = c.find(MAIN + "v")
        text = None if v is None else v.text
        item = xml_of(items[int(text)]) if c.get("t") == "s" else None
        out[c.get("r")] = (c.get("t", "n"), text, c.get("vm"), c.get("cm"), item)
    return out


def si(xml):
    return xml_of(ElementTree.fromstring(SST_HEAD + xml + "</sst>")[0])


def package(path, data, shared=(), **kw):
    extra = [("xl/sharedStrings.xml", SST_HEAD + "".join(shared) + "</sst>")] if shared else []
    return hand_made(path, [("S", SHEET, data, None)], extra=extra, **kw)


ERRORS = ["#N/A", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#NULL!"]


def test_literal_error_values_read_as_none_and_are_saved_as_they_stood(tmp_path):
    cols = "ABCDEFG"
    data = '<row r="1">' + "".join(f'<c r="{c}1" t="e"><v>{e}</v></c>' for c, e in zip(cols, ERRORS)) + "</row>"
    wb = velmo.load_workbook(package(tmp_path / "src.xlsx", data))
    assert list(wb.active.iter_rows(values_only=True)) == [(None,) * 7]
    expected = {f"{c}1": ("e", e, None, None, None) for c, e in zip(cols, ERRORS)}
    once = saved(wb, tmp_path / "once.xlsx")
    assert cells_of(once) == expected
    # A second round keeps them too; a new value replaces the error.
    wb = velmo.load_workbook(once)
    wb.active["B1"] = 5
    assert cells_of(saved(wb, tmp_path / "twice.xlsx")) == expected | {"B1": ("n", "5", None, None, None)}


def test_text_runs_survive_a_save_a_row_insert_and_go_with_a_new_value(tmp_path):
    data = ('<row r="1"><c r="A1" t="s"><v>1</v></c><c r="B1" t="s"><v>0</v></c><c r="C1" t="s"><v>1</v></c>'
            f'<c r="D1" t="inlineStr">{INLINE_RICH}</c><c r="E1" t="s"><v>2</v></c></row>')
    src = package(tmp_path / "src.xlsx", data, shared=["<si><t>Bold red</t></si>", BOLD_RED, PHONETIC])
    wb = velmo.load_workbook(src)
    ws = wb.active
    assert list(ws.iter_rows(values_only=True)) == [("Bold red", "Bold red", "Bold red", "leaning", "漢字")]
    out = cells_of(saved(wb, tmp_path / "out.xlsx"))
    rich, plain = si(BOLD_RED), si("<si><t>Bold red</t></si>")
    assert [out[k][4] for k in ("A1", "B1", "C1", "D1", "E1")] == [
        rich, plain, rich, si(f"<si>{INLINE_RICH[4:-5]}</si>"), si(PHONETIC)]
    assert out["A1"][1] == out["C1"][1] != out["B1"][1]  # one item, shared

    ws.insert_rows(1)
    ws["A2"] = "Bold red"
    out = cells_of(saved(wb, tmp_path / "edited.xlsx"))
    assert [out[k][4] for k in ("A2", "B2", "C2", "E2")] == [plain, plain, rich, si(PHONETIC)]
    assert velmo.load_workbook(str(tmp_path / "edited.xlsx")).active["C2"].value == "Bold red"


def test_pictures_in_cells_and_dynamic_arrays_keep_their_metadata(tmp_path):
    data = ('<row r="1"><c r="A1"><v>3</v></c><c r="C1" cm="1"><f t="array" ref="C1:C3">_xlfn._xlws.SORT(A1:A3)</f>'
            '<v>1</v></c></row><row r="2"><c r="B2" t="e" vm="1"><v>#VALUE!</v></c></row>')
    wb = velmo.load_workbook(package(tmp_path / "src.xlsx", data))
    ws = wb.active
    assert (ws["B2"].value, ws["C1"].value) == (None, "=_xlfn._xlws.SORT(A1:A3)")
    ws.insert_cols(1)
    out = cells_of(saved(wb, tmp_path / "out.xlsx"))
    assert out["C2"] == ("e", "#VALUE!", "1", None, None)
    assert out["D1"][2:4] == (None, "1")
    ws["D1"] = "=SORT(B1:B3)"
    ws["C2"] = None
    out = cells_of(saved(wb, tmp_path / "replaced.xlsx"))
    assert out["D1"][2:4] == (None, None)
    assert "C2" not in out


def test_hidden_and_very_hidden_sheets_stay_hidden(tmp_path):
    sheets = [(t, f"xl/worksheets/sheet{i}.xml", f'<row r="1"><c r="A1"><v>{i}</v></c></row>', None)
              for i, t in enumerate(["Shown", "Payroll", "Lookup"], 1)]
    src = hand_made(tmp_path / "src.xlsx", sheets, states={"Payroll": "hidden", "Lookup": "veryHidden"})
    wb = velmo.load_workbook(src)
    assert wb.sheetnames == ["Shown", "Payroll", "Lookup"]
    out = saved(wb, tmp_path / "out.xlsx")
    with zipfile.ZipFile(out) as z:
        states = {s.get("name"): s.get("state") for s in ElementTree.fromstring(z.read("xl/workbook.xml")).iter(MAIN + "sheet")}
    assert states == {"Shown": None, "Payroll": "hidden", "Lookup": "veryHidden"}



X14AC, XR = OFFICE + "2009/9/ac", OFFICE + "2014/revision"


def sheet_root(path):
    """The saved sheet's root: its ignorable list, the prefixes it declares, and the root element."""
    declared, root = {}, None
    with zipfile.ZipFile(path) as z, z.open(SHEET) as f:
        for event, item in ElementTree.iterparse(f, events=("start-ns", "start")):
            if root is None and event == "start-ns":
                declared[item[0]] = item[1]
            elif root is None:
                root = item
    return root.get(f"{{{MC}}}Ignorable"), declared, root


def test_what_the_source_marked_ignorable_stays_ignorable(tmp_path):
    # As a desktop version writes it: row descents and revision ids under namespaces the sheet's
    # root lists as ignorable, which an application that does not know them skips.
    root = (f' xmlns:mc="{MC}" mc:Ignorable="x14ac xr xr2 xr3" xmlns:x14ac="{X14AC}" xmlns:xr="{XR}"'
            f' xmlns:xr2="{OFFICE}2015/revision2" xmlns:xr3="{OFFICE}2016/revision3" xr:uid="{{0}}"')
    data = '<row r="1" x14ac:dyDescent="0.25"><c r="A1"><v>1</v></c></row><row r="2"><c r="A2"><v>2</v></c></row>'
    src = hand_made(tmp_path / "src.xlsx", [("S", SHEET, data, None)], root=root,
                    head='<sheetFormatPr defaultRowHeight="15" x14ac:dyDescent="0.25"/>',
                    tail='<autoFilter ref="A1:A2" xr:uid="{1}"/>')
    both = {"x14ac": X14AC, "xr": XR}
    for name, edit, listed, uid in [
        ("unchanged", lambda ws: None, "x14ac xr", "{1}"),
        ("rows inserted", lambda ws: ws.insert_rows(1), "x14ac xr", "{1}"),
        # A range set anew writes a filter of its own, without the source's id.
        ("filter set anew", lambda ws: setattr(ws.auto_filter, "ref", "A1:A3"), "x14ac", None),
    ]:
        wb = velmo.load_workbook(src)
        edit(wb["S"])
        marked, declared, sheet = sheet_root(saved(wb, tmp_path / f"{name}.xlsx"))
        assert marked == listed, name
        assert {p: declared.get(p) for p in listed.split()} == {p: both[p] for p in listed.split()}, name
        assert declared["mc"] == MC and ("xr" in declared) == (uid is not None), name
        assert sheet.find(MAIN + "sheetFormatPr").get(f"{{{X14AC}}}dyDescent") == "0.25", name
        assert sheet.find(MAIN + "autoFilter").get(f"{{{XR}}}uid") == uid, name
