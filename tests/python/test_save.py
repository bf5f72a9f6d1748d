import datetime
import os
import pathlib
import stat
import zipfile
from xml.etree import ElementTree

import pytest
from python_calamine import CalamineWorkbook

import velmo
from package_check import check_package, entry_names, raw_entries, rewrite_entries

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
REL = "{http://schemas.openxmlformats.org/package/2006/relationships}"
RELTYPE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"

# Entries a save always regenerates (or never copies) when the source holds them.
REGENERATED_PREFIXES = ("xl/worksheets/", "xl/tables/")
REGENERATED = {"xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/styles.xml", "xl/sharedStrings.xml",
               "[Content_Types].xml"}


def saved(wb, path):
    assert wb.save(str(path)) is None
    check_package(path)
    return str(path)


def read_part(path, name):
    with zipfile.ZipFile(path) as z:
        return z.read(name)


def rels_of(path, name):
    root = ElementTree.fromstring(read_part(path, name))
    return [(r.get("Id"), r.get("Type").rsplit("/", 1)[1], r.get("Target"), r.get("TargetMode"))
            for r in root.iter(REL + "Relationship")]


def leftover_temporaries(folder):
    return [p.name for p in pathlib.Path(folder).iterdir() if p.name.startswith(".tmp")]


CT_HEAD = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
           '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
           '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
           '<Default Extension="xml" ContentType="application/xml"/>'
           '<Default Extension="bin" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.printerSettings"/>'
           '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
           '<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>')
WS_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
STYLES = ('<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
          '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
          '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
          '<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0"/></cellXfs></styleSheet>')


def rel(rid, kind, target, mode=None):
    extra = f' TargetMode="{mode}"' if mode else ""
    return f'<Relationship Id="{rid}" Type="{RELTYPE}{kind}" Target="{target}"{extra}/>'


def rels(*items):
    return '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">' + "".join(items) + "</Relationships>"


def hand_made(path, sheets, extra=(), content_types=None, states=None, head="", styles=STYLES, workbook=None, tail="",
              root=""):
    """A package whose sheets are (title, part name, sheet data xml, relationships xml or None);
    `states` gives sheets a state by title, `head` goes before every sheet's data and `tail` after it,
    `root` adds attributes to every sheet's root; `workbook` replaces the workbook part made for the sheets."""
    states = states or {}
    wb_sheets = "".join(f'<sheet name="{t}" sheetId="{i + 1}"' + (f' state="{states[t]}"' if t in states else "") +
                        f' r:id="rId{i + 1}"/>' for i, (t, *_) in enumerate(sheets))
    workbook = workbook or ('<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                            'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
                            f"<sheets>{wb_sheets}</sheets></workbook>")
    wb_rels = rels(*(rel(f"rId{i + 1}", "worksheet", part.removeprefix("xl/")) for i, (_, part, *_) in enumerate(sheets)),
                   rel(f"rId{len(sheets) + 1}", "styles", "styles.xml"))
    if content_types is None:
        content_types = CT_HEAD + "".join(f'<Override PartName="/{p}" ContentType="{WS_CT}"/>' for _, p, *_ in sheets) + "</Types>"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", content_types)
        z.writestr("_rels/.rels", rels(rel("rId1", "officeDocument", "xl/workbook.xml")))
        z.writestr("xl/workbook.xml", workbook)
        z.writestr("xl/_rels/workbook.xml.rels", wb_rels)
        z.writestr("xl/styles.xml", styles)
        for _, part, data, part_rels in sheets:
            z.writestr(part, '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                             f'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"{root}>'
                             f"{head}<sheetData>{data}</sheetData>{tail}</worksheet>")
            if part_rels is not None:
                folder, base = part.rsplit("/", 1)
                z.writestr(f"{folder}/_rels/{base}.rels", part_rels)
        for name, data in extra:
            z.writestr(name, data)
    return str(path)


# ---- the package of a new workbook ----


def test_new_workbook_with_text_comments_and_links_adds_its_parts_in_order(tmp_path):
    wb = velmo.Workbook()
    ws = wb.active
    ws["A1"] = "text"
    ws.set_cell_comment("B2", "a note", "Ann")
    ws.set_cell_hyperlink("C3", "https://example.com/")
    path = saved(wb, tmp_path / "new.xlsx")
    assert entry_names(path) == ["[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                 "xl/_rels/workbook.xml.rels", "xl/styles.xml", "xl/sharedStrings.xml",
                                 "xl/worksheets/sheet1.xml", "xl/comments1.xml", "xl/drawings/vmlDrawing1.vml",
                                 "xl/worksheets/_rels/sheet1.xml.rels"]
    assert rels_of(path, "xl/worksheets/_rels/sheet1.xml.rels") == [
        ("rId1", "comments", "../comments1.xml", None),
        ("rId2", "vmlDrawing", "../drawings/vmlDrawing1.vml", None),
        ("rId3", "hyperlink", "https://example.com/", "External"),
    ]
    back = velmo.load_workbook(path).active
    assert back["B2"].comment.text == "a note" and back["B2"].comment.author == "Ann"
    assert back["C3"].hyperlink.target == "https://example.com/"


def test_ranges_reaching_past_the_grid_refuse_the_save(tmp_path):
    def table(ws, ref):
        ws.add_table(velmo.Table(displayName="Big", ref=ref))

    cases = [
        (lambda ws: table(ws, "A1048570:B1048600"), 'table "Big" range "A1048570:B1048600" lies outside the grid'),
        (lambda ws: table(ws, "XFD1:XFE3"), 'table "Big" range "XFD1:XFE3" lies outside the grid'),
        (lambda ws: setattr(ws, "freeze_panes", "B2000000"), 'sheet "Sheet": frozen pane "B2000000" lies outside'),
        (lambda ws: ws.merge_cells("A1048576:A1048577"), 'sheet "Sheet": merged range "A1048576:A1048577" lies outside'),
    ]
    for edit, message in cases:
        wb = velmo.Workbook()
        edit(wb.active)
        with pytest.raises(ValueError, match="^" + message):
            wb.save(str(tmp_path / "big.xlsx"))
    assert list(tmp_path.iterdir()) == []


def test_rule_highlights_and_comment_white_space_read_back_as_written(make_xlsx, tmp_path):
    # A fill colour without a pattern is a rule's solid highlight, both as made here and as
    # spreadsheet applications write it; "none" would highlight nothing.
    def build(book):
        sheet = book.add_worksheet()
        sheet.write("A1", 7)
        sheet.conditional_format("A1", {"type": "cell", "criteria": ">", "value": 5,
                                        "format": book.add_format({"bg_color": "#FFC7CE"})})

    wb = velmo.load_workbook(make_xlsx(build))
    ws = wb.active
    ws.conditional_formatting.add("B1:B5", velmo.FormulaRule(formula=["B1>1"], fill=velmo.PatternFill(bgColor="FF00FF00")))
    ws.set_cell_comment("C1", "  indented\n", " author")
    path = saved(wb, tmp_path / "out.xlsx")
    fills = ElementTree.fromstring(read_part(path, "xl/styles.xml")).find(MAIN + "dxfs").iter(MAIN + "patternFill")
    assert [(f.get("patternType"), f[0].tag.removeprefix(MAIN), f[0].get("rgb")) for f in fills] == [
        (None, "bgColor", "FFFFC7CE"), (None, "bgColor", "FF00FF00")]
    assert velmo.load_workbook(path).active["C1"].comment.text == "  indented\n"


# ---- a loaded workbook keeps what the model does not hold ----


@pytest.fixture
def rich_path(make_xlsx, tmp_path):
    """An XlsxWriter workbook (document properties, theme, a table, a comment, links, names),
    with a stored and a deflated custom part appended."""

    def build(book):
        one = book.add_worksheet("One")
        two = book.add_worksheet("Two & 'Co")
        one.write_row("A1", ["Name", "Qty"])
        one.write_row("A2", ["x", 1])
        one.write_row("A3", ["y", 2])
        one.add_table("A1:B3", {"name": "Stock", "columns": [{"header": "Name"}, {"header": "Qty"}]})
        one.write_comment("D1", "check", {"author": "Bo"})
        one.write_url("D2", "https://example.com/a", string="A")
        one.write_url("D3", "internal:'One'!A1", string="top")
        two.write("A1", 42)
        two.write_url("B1", "https://example.com/b")
        two.print_area("A1:C9")
        two.repeat_rows(0)
        book.define_name("Total", "=One!$B$2:$B$3")
        book.define_name("One!Local", "=42")

    path = make_xlsx(build)
    with zipfile.ZipFile(path, "a") as z:
        z.writestr(zipfile.ZipInfo("customXml/item1.xml"), "<custom>kept</custom>", zipfile.ZIP_STORED)
        z.writestr("xl/custom/data.xml", "<data>binary-ish</data>")
    return path


def test_unmodelled_entries_are_copied_byte_for_byte_in_source_order(rich_path, tmp_path):
    path = saved(velmo.load_workbook(rich_path), tmp_path / "out.xlsx")
    source = raw_entries(rich_path)
    out = raw_entries(path)
    # Sheet 1 has a comment, so its comments part and drawing are regenerated too.
    regenerated = REGENERATED | {"xl/comments1.xml", "xl/drawings/vmlDrawing1.vml"}
    carried = [n for n in source if n not in regenerated and not n.startswith(REGENERATED_PREFIXES)]
    assert "docProps/core.xml" in carried and "xl/theme/theme1.xml" in carried and "customXml/item1.xml" in carried
    for name in carried:
        assert out[name] == source[name], name
    names = entry_names(path)
    assert [n for n in names if n in carried] == carried
    assert names[-len(carried):] == carried  # after everything regenerated
    assert out["customXml/item1.xml"][0] == zipfile.ZIP_STORED


def test_values_comments_links_and_names_survive_a_save_and_reload(rich_path, tmp_path):
    path = saved(velmo.load_workbook(rich_path), tmp_path / "out.xlsx")
    wb = velmo.load_workbook(path)
    assert wb.sheetnames == ["One", "Two & 'Co"]
    one, two = wb["One"], wb["Two & 'Co"]
    assert [list(r) for r in one.iter_rows(max_col=2, values_only=True)] == [["Name", "Qty"], ["x", 1], ["y", 2]]
    assert one["D1"].comment.text == "check" and one["D1"].comment.author == "Bo"
    assert one["D2"].hyperlink.target == "https://example.com/a"
    assert not one["D3"].hyperlink.target and one["D3"].hyperlink.location == "'One'!A1"
    assert two["B1"].hyperlink.target == "https://example.com/b"
    assert two["A1"].value == 42

    def names(p):
        root = ElementTree.fromstring(read_part(p, "xl/workbook.xml"))
        return sorted((d.get("name"), d.get("localSheetId"), d.text) for d in root.iter(MAIN + "definedName"))

    assert names(path) == names(rich_path)
    assert ("Total", None, "One!$B$2:$B$3") in names(path)
    assert ("_xlnm.Print_Area", "1", "'Two & ''Co'!$A$1:$C$9") in names(path)
    assert ("Local", "0", "42") in names(path)

    calamine = CalamineWorkbook.from_path(path)
    assert [row[:2] for row in calamine.get_sheet_by_name("One").to_python()[:3]] == [["Name", "Qty"], ["x", 1], ["y", 2]]


def test_shared_and_array_formulas_survive_a_save_and_reload(tmp_path):
    data = ('<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f t="shared" ref="B1:B3" si="0">A1*$A$1</f><v>1</v></c>'
            '<c r="C1"><f t="array" ref="C1:C3">A1:A3*2</f><v>2</v></c></row>'
            '<row r="2"><c r="A2"><v>2</v></c><c r="B2"><f t="shared" si="0"/><v>2</v></c><c r="C2"><v>4</v></c></row>'
            '<row r="3"><c r="A3"><v>3</v></c><c r="B3"><f t="shared" si="0"/><v>3</v></c><c r="C3"><v>6</v></c></row>')
    wb = velmo.load_workbook(hand_made(tmp_path / "src.xlsx", [("S", "xl/worksheets/sheet1.xml", data, None)]))
    formulas = ["=A1*$A$1", "=A2*$A$1", "=A3*$A$1"]
    assert [wb["S"][f"B{r}"].value for r in (1, 2, 3)] == formulas
    path = saved(wb, tmp_path / "out.xlsx")
    part = read_part(path, "xl/worksheets/sheet1.xml").decode()
    assert 't="shared"' not in part and '<f t="array" ref="C1:C3">A1:A3*2</f>' in part
    again = velmo.load_workbook(path)["S"]
    assert [again[f"B{r}"].value for r in (1, 2, 3)] == formulas and again["C1"].value == "=A1:A3*2"


MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
OFFICE = "http://schemas.microsoft.com/office/spreadsheetml/"
REVISIONS = {"x15": OFFICE + "2010/11/main", "xr": OFFICE + "2014/revision", "xr6": OFFICE + "2016/revision6",
             "xr10": OFFICE + "2016/revision10", "xr2": OFFICE + "2015/revision2"}


def tree(el):
    """An element as its qualified name, attributes, text and children, declarations aside."""
    return el.tag, sorted(el.attrib.items()), (el.text or "").strip(), [tree(k) for k in el]


def test_what_a_desktop_version_writes_survives_a_save(tmp_path):
    # A saved path and revision information under ignorable namespaces, a rule's differential
    # format with every kind of child, an empty font.
    declared = "".join(f' xmlns:{p}="{u}"' for p, u in REVISIONS.items())
    workbook = (f'<workbook xmlns="{MAIN[1:-1]}" xmlns:r="{RELTYPE[:-1]}" xmlns:mc="{MC}" mc:Ignorable="x15 xr xr6 xr10 xr2"{declared}>'
                '<fileVersion appName="xl" lastEdited="7"/><workbookPr defaultThemeVersion="202300"/>'
                f'<mc:AlternateContent xmlns:mc="{MC}"><mc:Choice Requires="x15"><x15ac:absPath url="C:\\Users\\x\\" '
                f'xmlns:x15ac="{OFFICE}2010/11/ac"/></mc:Choice></mc:AlternateContent>'
                '<xr:revisionPtr revIDLastSave="0" documentId="8_{5E5AB7F1-0C77-4D5A-9D7B-8E6C7F2C1A11}" xr6:coauthVersionLast="47" '
                'xr6:coauthVersionMax="47" xr10:uidLastSave="{00000000-0000-0000-0000-000000000000}"/>'
                '<bookViews><workbookView xWindow="-120" xr2:uid="{1C2D3E4F-0000-4000-8000-000000000001}"/></bookViews>'
                '<sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets><calcPr calcId="191029"/>'
                f'<extLst><ext uri="{{140A7094}}" xmlns:x15="{REVISIONS["x15"]}"><x15:workbookPr chartTrackingRefBase="1"/></ext></extLst></workbook>')
    styles = (f'<styleSheet xmlns="{MAIN[1:-1]}"><fonts count="2"><font><sz val="11"/><name val="Aptos"/></font><font/></fonts>'
              '<fills count="1"><fill><patternFill patternType="none"/></fill></fills><cellXfs count="2"><xf/><xf fontId="1"/></cellXfs>'
              '<dxfs count="1"><dxf><font><b val="0"/><color auto="1"/></font><numFmt numFmtId="164" formatCode="0.0%"/>'
              '<fill><patternFill><bgColor auto="1"/></patternFill></fill><alignment horizontal="center"/><protection locked="0"/>'
              f'<border><left style="thin"/></border><extLst><ext uri="{{x}}" xmlns:x14="{OFFICE}2009/9/main"><x14:id>1</x14:id>'
              '</ext></extLst></dxf></dxfs></styleSheet>')
    rule = ('<conditionalFormatting sqref="A1"><cfRule type="cellIs" dxfId="0" priority="1" operator="greaterThan">'
            '<formula>0</formula></cfRule></conditionalFormatting>')
    src = hand_made(tmp_path / "src.xlsx", [("S", "xl/worksheets/sheet1.xml", '<row r="1"><c r="A1" s="1"><v>1</v></c></row>', None)],
                    styles=styles, workbook=workbook, tail=rule)
    wb = velmo.load_workbook(src)
    wb["S"]["B2"] = 2
    out = saved(wb, tmp_path / "out.xlsx")
    assert saved(velmo.load_workbook(out), tmp_path / "again.xlsx")

    def part(path, name):
        return ElementTree.fromstring(read_part(path, name))

    # The workbook's children come back in their places; views and calculation brought in line.
    before, after = part(src, "xl/workbook.xml"), part(out, "xl/workbook.xml")
    expected = [tree(k) for k in before if k.tag != MAIN + "sheets"]
    expected[4][3][0][1].insert(0, ("activeTab", "0"))
    expected[5][1].append(("fullCalcOnLoad", "1"))
    assert [tree(k) for k in after if k.tag != MAIN + "sheets"] == expected
    assert after.get(f"{{{MC}}}Ignorable") == "x15 xr xr6 xr10 xr2"
    with zipfile.ZipFile(out) as z, z.open("xl/workbook.xml") as f:
        declarations = dict(item for event, item in ElementTree.iterparse(f, events=("start-ns",)))
    assert {p: declarations.get(p) for p in REVISIONS} == REVISIONS and declarations["mc"] == MC

    # The differential format as read, the rule still on it; the empty font stays empty.
    styles = [part(p, "xl/styles.xml") for p in (src, out)]
    assert tree(styles[0].find(MAIN + "dxfs")) == tree(styles[1].find(MAIN + "dxfs"))
    assert tree(styles[1].find(MAIN + "fonts")[1]) == (MAIN + "font", [], "", [])
    assert part(out, "xl/worksheets/sheet1.xml").find(f"{MAIN}conditionalFormatting/{MAIN}cfRule").get("dxfId") == "0"


def test_two_saves_give_identical_bytes(rich_path, tmp_path):
    wb = velmo.load_workbook(rich_path)
    wb["One"]["F1"] = "more text"
    wb["One"].set_cell_hyperlink("F2", "https://example.com/new")
    first = pathlib.Path(saved(wb, tmp_path / "a.xlsx")).read_bytes()
    second = pathlib.Path(saved(wb, tmp_path / "b.xlsx")).read_bytes()
    assert first == second
    new = velmo.Workbook()
    new.active["A1"] = "x"
    new.active.set_cell_comment("A2", "c", "me")
    assert pathlib.Path(saved(new, tmp_path / "c.xlsx")).read_bytes() == pathlib.Path(saved(new, tmp_path / "d.xlsx")).read_bytes()


def test_sheet_relationships_are_settled_from_the_sheets_own_list(tmp_path):
    # Sheet order and part numbering disagree: the first sheet lives in sheet2.xml. Each sheet has
    # its own printer settings; the second still relates to a comments part that holds none.
    first_rels = rels(rel("rId1", "printerSettings", "../printerSettings/printerSettings1.bin"))
    second_rels = rels(rel("rId1", "printerSettings", "../printerSettings/printerSettings2.bin"),
                       rel("rId2", "comments", "../comments1.xml"),
                       rel("rId3", "vmlDrawing", "../drawings/vmlDrawing1.vml"),
                       rel("rId4", "hyperlink", "https://old.example/", "External"))
    src = hand_made(
        tmp_path / "src.xlsx",
        [("First", "xl/worksheets/sheet2.xml", '<row r="1"><c r="A1"><v>1</v></c></row>', first_rels),
         ("Second", "xl/worksheets/sheet1.xml", '<row r="1"><c r="A1"><v>2</v></c></row>', second_rels)],
        extra=[("xl/printerSettings/printerSettings1.bin", b"one"), ("xl/printerSettings/printerSettings2.bin", b"two"),
               ("xl/comments1.xml", '<comments xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
                                    '<authors><author>a</author></authors><commentList/></comments>'),
               ("xl/drawings/vmlDrawing1.vml", "<xml/>")],
    )
    wb = velmo.load_workbook(src)
    wb["First"].set_cell_comment("C1", "new", "me")
    path = saved(wb, tmp_path / "out.xlsx")
    assert rels_of(path, "xl/worksheets/_rels/sheet1.xml.rels") == [
        ("rId1", "printerSettings", "../printerSettings/printerSettings1.bin", None),
        ("rId2", "comments", "../comments1.xml", None),
        ("rId3", "vmlDrawing", "../drawings/vmlDrawing1.vml", None),
    ]
    assert rels_of(path, "xl/worksheets/_rels/sheet2.xml.rels") == [
        ("rId1", "printerSettings", "../printerSettings/printerSettings2.bin", None),
    ]
    back = velmo.load_workbook(path)
    assert back["First"]["C1"].comment.text == "new"


@pytest.mark.parametrize("content_types, message", [
    (CT_HEAD, "[Content_Types].xml: the Types element has no end tag"),
    (None, "[Content_Types].xml is missing"),
])
def test_content_types_a_save_could_not_patch_fail_the_load(tmp_path, content_types, message):
    # No save could declare a part in them, so the workbook is refused before it can be edited.
    src = hand_made(tmp_path / "src.xlsx", [("S", "xl/worksheets/sheet1.xml", "", None)], content_types=content_types or "")
    if content_types is None:
        with zipfile.ZipFile(src) as z:
            entries = [(i, z.read(i)) for i in z.infolist() if i.filename != "[Content_Types].xml"]
        with zipfile.ZipFile(src, "w") as z:
            for info, data in entries:
                z.writestr(info, data)
    with pytest.raises(OSError) as exc:
        velmo.load_workbook(src)
    assert exc.value.args == (f"zip: {message}",)


# ---- part names spelled as other producers spell them ----


def contents(wb):
    return {ws.title: ([list(r) for r in ws.iter_rows(values_only=True)], ws.tables.keys(),
                       [c.comment.text for row in ws.iter_rows() for c in row if c.comment]) for ws in wb.worksheets}


@pytest.mark.parametrize("old,new", [
    ("xl/sharedStrings.xml", "xl/SharedStrings.xml"), ("xl/styles.xml", "xl/%73tyles.xml"),
    ("xl/workbook.xml", "xl/Workbook.xml"), ("xl/_rels/workbook.xml.rels", "xl/_rels/WORKBOOK.XML.RELS"),
    ("xl/worksheets/sheet1.xml", "xl/worksheets/Sheet1.xml"),
    ("xl/worksheets/_rels/sheet1.xml.rels", "xl/worksheets/_rels/%73heet1.xml.rels"),
    ("xl/comments1.xml", "xl/Comments1.xml"), ("xl/tables/table1.xml", "xl/tables/%54able1.xml"),
], ids=["shared strings", "styles", "workbook", "workbook rels", "worksheet", "sheet rels", "comments", "table"])
def test_parts_spelled_otherwise_load_save_and_reload_whole(rich_path, tmp_path, old, new):
    # The entry is renamed while everything still refers to it by its old name.
    src = str(tmp_path / "src.xlsx")
    with zipfile.ZipFile(rich_path) as zin, zipfile.ZipFile(src, "w") as zout:
        for info in zin.infolist():
            zout.writestr(new if info.filename == old else info.filename, zin.read(info))
    expected = contents(velmo.load_workbook(rich_path))
    assert contents(velmo.load_workbook(src)) == expected
    path = saved(velmo.load_workbook(src), tmp_path / "out.xlsx")
    assert new not in entry_names(path) and contents(velmo.load_workbook(path)) == expected
    calamine = CalamineWorkbook.from_path(path)
    for title, (rows, _, _) in expected.items():
        assert [[v if v != "" else None for v in row] for row in calamine.get_sheet_by_name(title).to_python()] == rows


# ---- atomic replacement ----


def test_symbolic_link_destinations_are_refused(tmp_path):
    target = tmp_path / "target.xlsx"
    target.write_bytes(b"original")
    link = tmp_path / "link.xlsx"
    link.symlink_to(target)
    dangling = tmp_path / "dangling.xlsx"
    dangling.symlink_to(tmp_path / "nowhere.xlsx")
    for dest in (link, dangling):
        with pytest.raises(ValueError) as e:
            velmo.Workbook().save(str(dest))
        assert e.value.args == ("refusing to replace a symbolic-link destination",)
        assert dest.is_symlink()
    assert target.read_bytes() == b"original"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dangling.xlsx", "link.xlsx", "target.xlsx"]


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o000])
def test_modes_new_under_the_umask_existing_kept(tmp_path, mask):
    old = os.umask(mask)
    try:
        new = tmp_path / "new.xlsx"
        velmo.Workbook().save(str(new))
        assert stat.S_IMODE(new.stat().st_mode) == 0o666 & ~mask
        for mode in (0o600, 0o640, 0o444):
            existing = tmp_path / f"existing{mode:o}.xlsx"
            existing.write_bytes(b"old")
            existing.chmod(mode)
            velmo.Workbook().save(str(existing))
            assert stat.S_IMODE(existing.stat().st_mode) == mode
            check_package(existing)
    finally:
        os.umask(old)


def test_a_failure_mid_build_leaves_the_destination_and_no_temporary_file(make_xlsx, tmp_path):
    src = make_xlsx(lambda book: book.add_worksheet().write("A1", "x"))
    wb = velmo.load_workbook(src)
    dest = tmp_path / "dest.xlsx"
    dest.write_bytes(b"precious bytes")
    os.remove(src)
    with pytest.raises(FileNotFoundError, match="^io: "):
        wb.save(str(dest))
    assert dest.read_bytes() == b"precious bytes"
    assert leftover_temporaries(tmp_path) == []


def test_saving_over_the_source_path(rich_path):
    wb = velmo.load_workbook(rich_path)
    wb["One"]["A9"] = "added"
    saved(wb, rich_path)
    again = velmo.load_workbook(rich_path)
    assert again["One"]["A9"].value == "added"
    assert "docProps/core.xml" in entry_names(rich_path)
    saved(again, rich_path)
    assert leftover_temporaries(pathlib.Path(rich_path).parent) == []


@pytest.mark.parametrize("build, first", [
    (lambda s: s.write("A1", "text"), "[Content_Types].xml"),
    (lambda s: s.write_comment("A1", "note"), "[Content_Types].xml"),
    (lambda s: s.add_table("A1:B3", {"header_row": False}), "[Content_Types].xml"),
    (lambda s: s.write("A1", 1), "xl/workbook.xml"),
], ids=["text", "note", "table", "none"])
def test_content_types_come_first_when_the_save_patches_them(make_xlsx, tmp_path, build, first):
    src = make_xlsx(lambda book: build(book.add_worksheet()))
    out = saved(velmo.load_workbook(src), tmp_path / "out.xlsx")
    assert entry_names(out)[0] == first
    if first != "[Content_Types].xml":  # carried raw, among the copied entries
        assert raw_entries(out)["[Content_Types].xml"] == raw_entries(src)["[Content_Types].xml"]


def chart_book(make_xlsx, title="Data", chart=True):
    """One sheet of numbers with (or without) a chart; fixed document dates, so that two builds
    differ only in what they hold."""

    def build(book):
        book.set_properties({"created": datetime.datetime(2024, 5, 1)})
        sheet = book.add_worksheet(title)
        sheet.write_column("A1", [1, 2, 3])
        if chart:
            c = book.add_chart({"type": "line"})
            c.add_series({"values": f"={title}!$A$1:$A$3"})
            sheet.insert_chart("C1", c)

    return make_xlsx(build)


def without_chart_relationships(make_xlsx):
    path = chart_book(make_xlsx)
    rewrite_entries(path, {"xl/drawings/_rels/drawing1.xml.rels": lambda b: None, "xl/charts/chart1.xml": lambda b: None})
    return path


@pytest.mark.parametrize("replacement", [
    lambda make_xlsx: chart_book(make_xlsx, title="Other"),
    lambda make_xlsx: chart_book(make_xlsx, chart=False),
    without_chart_relationships,
], ids=["another workbook", "the same without its chart", "the same without its drawing's relationships"])
def test_a_source_replaced_since_the_load_refuses_the_save(make_xlsx, tmp_path, replacement):
    src = chart_book(make_xlsx)
    wb = velmo.load_workbook(src)
    wb.active["A5"] = "added"
    os.replace(replacement(make_xlsx), src)
    dest = tmp_path / "dest.xlsx"
    dest.write_bytes(b"precious bytes")
    with pytest.raises(OSError, match=f"^io: {src} has changed since the workbook was loaded$"):
        wb.save(str(dest))
    assert dest.read_bytes() == b"precious bytes"
    assert leftover_temporaries(tmp_path) == []


# The first save gives the button's drawing a note: under its own name, or under the one it writes
# note drawings by; the button's picture keeps its relationship.
@pytest.mark.parametrize("drawing", ["vmlDrawing2.vml", "vmlDrawing9.vml"])
def test_saves_back_to_the_loaded_file_keep_copying_from_it(rich_path, drawing):
    with zipfile.ZipFile(rich_path, "a") as z:  # a button beside no note, on the second sheet
        z.writestr(f"xl/drawings/{drawing}", "<xml xmlns:v='urn:schemas-microsoft-com:vml' xmlns:o='urn:schemas-microsoft-"
                                             "com:office:office'><v:shape><v:fill o:relid='rId1'/></v:shape></xml>")
        z.writestr(f"xl/drawings/_rels/{drawing}.rels", rels(rel("rId1", "image", "../media/button.png")))
        z.writestr("xl/media/button.png", b"png")
    rewrite_entries(rich_path, {
        "xl/worksheets/_rels/sheet2.xml.rels": lambda t: t.replace(b"</Relationships>", rel(
            "rId9", "vmlDrawing", f"../drawings/{drawing}").encode() + b"</Relationships>"),
        "xl/worksheets/sheet2.xml": lambda t: t.replace(b"</worksheet>", b'<legacyDrawing r:id="rId9"/></worksheet>'),
        "[Content_Types].xml": lambda t: t.replace(b"</Types>", b'<Default Extension="png" ContentType="image/png"/></Types>')})
    button = raw_entries(rich_path)[f"xl/drawings/{drawing}"]
    first, second = velmo.load_workbook(rich_path), velmo.load_workbook(rich_path)
    first["Two & 'Co"].set_cell_comment("F1", "new note", "Al")  # the button's drawing shows it now
    saved(first, rich_path)
    del first["One"].tables["Stock"]
    first["One"].delete_rows(1, 10)  # its note goes, and with the table their parts
    saved(first, rich_path)
    second["Two & 'Co"]["C3"] = "from the second"
    saved(second, rich_path)
    back = velmo.load_workbook(rich_path)
    assert back["Two & 'Co"]["C3"].value == "from the second" and back["Two & 'Co"]["F1"].comment is None
    assert back["One"]["D1"].comment.text == "check" and "docProps/core.xml" in entry_names(rich_path)
    assert raw_entries(rich_path)[f"xl/drawings/{drawing}"] == button
    assert rels_of(rich_path, f"xl/drawings/_rels/{drawing}.rels") == [("rId1", "image", "../media/button.png", None)]


def test_a_later_save_still_copies_from_the_loaded_file(rich_path, tmp_path):
    wb = velmo.load_workbook(rich_path)
    first = saved(wb, tmp_path / "first.xlsx")
    second = saved(wb, tmp_path / "second.xlsx")
    assert raw_entries(first)["customXml/item1.xml"] == raw_entries(second)["customXml/item1.xml"]


def test_bad_destinations(tmp_path):
    wb = velmo.Workbook()
    with pytest.raises(TypeError, match="path"):
        wb.save(tmp_path / "path-object.xlsx")
    with pytest.raises(TypeError, match="path"):
        wb.save(b"bytes.xlsx")
    with pytest.raises(FileNotFoundError):
        wb.save(str(tmp_path / "missing" / "out.xlsx"))
    (tmp_path / "folder").mkdir()
    with pytest.raises(OSError):
        wb.save(str(tmp_path / "folder"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder"]
    wb.save(path=str(tmp_path / "keyword.xlsx"))


def test_bare_file_name_saves_into_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    velmo.Workbook().save("bare.xlsx")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bare.xlsx"]
    check_package(tmp_path / "bare.xlsx")
