"""Notes (cell comments) keep how they are shown through a save: each loaded note keeps its own box
in the sheet's legacy drawing, following its cell through edits, and the drawing keeps the form
controls beside the notes."""

import os
import pathlib
import re
import zipfile
from xml.etree import ElementTree

import pytest

import velmo
from package_check import check_package, unreached_parts

V = "{urn:schemas-microsoft-com:vml}"
X = "{urn:schemas-microsoft-com:office:excel}"
CORPUS = pathlib.Path(os.environ.get("VELMO_CORPUS", pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "excel"))


def drawing(path, name="xl/drawings/vmlDrawing1.vml"):
    with zipfile.ZipFile(path) as z:
        return z.read(name)


def shapes(vml):
    """(notes by zero-based (row, column), other shapes), each shape as a comparable tuple of its
    attributes and children; a note's anchor as its eight numbers."""
    notes, other = {}, []
    for shape in ElementTree.fromstring(vml).iter(V + "shape"):
        data = shape.find(X + "ClientData")
        attrs = {k: v for k, v in shape.attrib.items() if k != "id"}
        kids = []
        fields = {}
        for el in shape.iter():
            if el.tag in (X + "Row", X + "Column", X + "Anchor"):
                fields[el.tag[len(X):]] = [int(n) for n in el.text.split(",")]
            elif el is not shape:
                kids.append((el.tag, tuple(sorted(el.attrib.items())), (el.text or "").strip()))
        look = (tuple(sorted(attrs.items())), tuple(kids))
        if data is not None and data.get("ObjectType") == "Note":
            notes[(fields["Row"][0], fields["Column"][0])] = (look, fields["Anchor"])
        else:
            other.append((look, fields.get("Anchor")))
    return notes, other


def shape_ids(vml):
    return [s.get("id") for s in ElementTree.fromstring(vml).iter(V + "shape")]


@pytest.fixture
def notes_path(make_xlsx):
    """B2's note stays shown, D5's is resized and recoloured, C10's is plain; a button at F2 shares
    the drawing."""

    def build(book):
        sheet = book.add_worksheet()
        sheet.write("A1", 0)
        sheet.write_comment("B2", "shown", {"visible": True, "author": "Ann"})
        sheet.write_comment("D5", "big and green", {"x_scale": 2, "y_scale": 1.5, "color": "#00ff00"})
        sheet.write_comment("C10", "plain")
        sheet.insert_button("F2", {"macro": "go", "caption": "Press"})

    return make_xlsx(build)


def saved(wb, path):
    wb.save(str(path))
    check_package(str(path))
    return str(path)


def test_an_unchanged_save_keeps_every_box_and_the_button(notes_path, tmp_path):
    wb = velmo.load_workbook(notes_path)
    wb.active["A1"] = 1  # another cell changed: the drawing is carried as it was
    out = saved(wb, tmp_path / "out.xlsx")
    assert drawing(out) == drawing(notes_path)


@pytest.mark.parametrize("edit, rows, cols", [
    (lambda ws: ws.insert_rows(1, 3), 3, 0),
    (lambda ws: ws.insert_cols(1, 2), 0, 2),
    (lambda ws: (ws.insert_rows(1), ws.insert_cols(2)), 1, 1),
    (lambda ws: ws.move_range("A1:J20", rows=4, cols=1), 4, 1),
])
def test_boxes_follow_their_cells(notes_path, tmp_path, edit, rows, cols):
    before, before_other = shapes(drawing(notes_path))
    wb = velmo.load_workbook(notes_path)
    edit(wb.active)
    after, after_other = shapes(drawing(saved(wb, tmp_path / "out.xlsx")))
    assert len(before) == 3
    for (r, c), (look, anchor) in before.items():
        moved_look, moved_anchor = after[(r + rows, c + cols)]
        assert moved_look == look  # shown, size, fill, shadow and text box as the source had them
        assert moved_anchor == [anchor[0] + cols, anchor[1], anchor[2] + rows, anchor[3],
                                anchor[4] + cols, anchor[5], anchor[6] + rows, anchor[7]]
    assert after_other == before_other  # the button is written whole


def test_text_changes_new_notes_and_deleted_notes(notes_path, tmp_path):
    before, before_other = shapes(drawing(notes_path))
    wb = velmo.load_workbook(notes_path)
    ws = wb.active
    ws.set_cell_comment("D5", "new text", "Bob")
    ws.set_cell_comment("H20", "a new note", "Bob")
    ws.delete_rows(10)
    out = saved(wb, tmp_path / "out.xlsx")
    after, after_other = shapes(drawing(out))
    assert after[(4, 3)] == before[(4, 3)]  # the changed text keeps its box
    assert after[(1, 1)] == before[(1, 1)]
    assert (9, 2) not in after  # deleted with its cell
    look, anchor = after[(18, 7)]  # the new note: the standard hidden box
    assert ("style", "position:absolute;margin-left:80pt;margin-top:5pt;width:104pt;height:64pt;z-index:1;"
            "visibility:hidden") in look[0]
    assert anchor == [1, 15, 0, 2, 3, 15, 4, 4]
    assert after_other == before_other
    ids = shape_ids(drawing(out))
    assert len(ids) == len(set(ids)) == 4
    back = velmo.load_workbook(out).active
    assert back["D5"].comment.text == "new text" and back["H19"].comment.author == "Bob"


def test_the_button_stays_when_every_note_is_gone(notes_path, tmp_path):
    _, before_other = shapes(drawing(notes_path))
    wb = velmo.load_workbook(notes_path)
    wb.active.delete_rows(1, 20)
    out = saved(wb, tmp_path / "out.xlsx")
    notes, other = shapes(drawing(out))
    assert notes == {} and other == before_other
    with zipfile.ZipFile(out) as z:
        rels = z.read("xl/worksheets/_rels/sheet1.xml.rels").decode()
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    assert "/comments" not in rels and "vmlDrawing1.vml" in rels
    assert "<legacyDrawing" in sheet


def test_a_note_added_beside_a_button_keeps_the_button(make_xlsx, tmp_path):
    path = make_xlsx(lambda book: book.add_worksheet().insert_button("B2", {"macro": "go"}))
    _, before_other = shapes(drawing(path))
    wb = velmo.load_workbook(path)
    wb.active.set_cell_comment("A1", "hello", "Ann")
    out = saved(wb, tmp_path / "out.xlsx")
    notes, other = shapes(drawing(out))
    assert list(notes) == [(0, 0)] and other == before_other
    ids = shape_ids(drawing(out))
    assert len(ids) == len(set(ids))
    assert velmo.load_workbook(out).active["A1"].comment.text == "hello"


def test_a_drawing_that_cannot_be_read_gives_the_standard_boxes(notes_path, tmp_path):
    # The notes' drawing replaced by something that is not VML at all.
    broken = tmp_path / "broken.xlsx"
    with zipfile.ZipFile(notes_path) as src, zipfile.ZipFile(broken, "w") as dst:
        for info in src.infolist():
            data = src.read(info)
            dst.writestr(info, b"</xml> not a drawing <" if info.filename.endswith(".vml") else data)
    wb = velmo.load_workbook(str(broken))
    wb.active.insert_rows(1)
    notes, other = shapes(drawing(saved(wb, tmp_path / "out.xlsx")))
    assert sorted(notes) == [(2, 1), (5, 3), (10, 2)] and other == []
    assert all(anchor == [1, 15, 0, 2, 3, 15, 4, 4] for _, anchor in notes.values())


NOTED = sorted(p for p in CORPUS.glob("*.xls*") if any(
    n.endswith(".vml") and b'ObjectType="Note"' in zipfile.ZipFile(p).read(n) for n in zipfile.ZipFile(p).namelist()))


@pytest.mark.skipif(not NOTED, reason="corpus not found")
def test_real_workbooks_keep_every_note_box_through_an_edit(tmp_path):
    """A row inserted on every sheet of every real workbook with notes: each note comes back with its
    own look, one row down."""
    kept = 0
    for path in NOTED:
        wb = velmo.load_workbook(str(path))
        shift = {}
        for i, ws in enumerate(wb.worksheets):
            try:
                ws.insert_rows(1)
                shift[f"xl/worksheets/sheet{i + 1}.xml"] = 1
            except ValueError:  # a table in the way
                shift[f"xl/worksheets/sheet{i + 1}.xml"] = 0
        out = saved(wb, tmp_path / path.name)
        with zipfile.ZipFile(path) as a, zipfile.ZipFile(out) as b:
            for name in (n for n in a.namelist() if re.fullmatch(r"xl/worksheets/sheet\d+\.xml", n)):
                rels = name.replace("worksheets/", "worksheets/_rels/") + ".rels"

                def notes_of(z):
                    if rels not in z.namelist():
                        return {}
                    found = {}
                    for target in re.findall(rb'Target="\.\./drawings/(vmlDrawing\d+\.vml)"', z.read(rels)):
                        found.update(shapes(z.read("xl/drawings/" + target.decode()))[0])
                    return found

                before, after = notes_of(a), notes_of(b)
                for (r, c), (look, anchor) in before.items():
                    assert after[(r + shift[name], c)][0] == look, (path.name, name, r, c)
                    kept += 1
    assert kept >= 31


MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RICH = {  # a bold author line and a coloured run; an italic run with a phonetic reading
    "B2": '<text><r><rPr><b/><sz val="9"/><rFont val="Tahoma"/></rPr><t>Ann:</t></r><r><rPr><sz val="9"/>'
          '<color rgb="FFFF0000"/><rFont val="Tahoma"/></rPr><t xml:space="preserve"> secret words</t></r></text>',
    "D4": '<text><r><rPr><i/></rPr><t>hidden plan</t></r><rPh sb="0" eb="1"><t>reading</t></rPh>'
          '<phoneticPr fontId="0"/></text>',
}
PLAIN = {"B2": "Ann: secret words", "D4": "hidden plan"}
KEPT = {ref: (RICH[ref], PLAIN[ref]) for ref in RICH}  # (text element written, text read back)


def plain(text):
    return f"<text><t>{text}</t></text>", text


@pytest.fixture
def rich_notes_path(make_xlsx, tmp_path):
    """Three sheets, notes on the third only (stored as "xl/comments1.xml"), each note's text in runs
    of its own formatting."""

    def build(book):
        for _ in range(3):
            book.add_worksheet().write("A1", "cell")
        sheet = book.worksheets()[2]
        for ref in RICH:
            sheet.write_comment(ref, "placeholder", {"author": "Ann"})

    plain = make_xlsx(build)
    path = tmp_path / "rich.xlsx"
    with zipfile.ZipFile(plain) as src, zipfile.ZipFile(path, "w") as dst:
        for info in src.infolist():
            data = src.read(info)
            if info.filename == "xl/comments1.xml":
                data = re.sub(rb'(<comment ref="(\w+)" authorId="0">)<text>.*?</text>',
                              lambda m: m.group(1) + RICH[m.group(2).decode()].encode(), data)
            dst.writestr(info, data)
    return str(path)


def note_texts(path, sheet=3):
    """ref -> the note's text element as canonical XML, from the comments part the sheet names."""
    with zipfile.ZipFile(path) as z:
        rels = f"xl/worksheets/_rels/sheet{sheet}.xml.rels"
        if rels not in z.namelist():
            return {}
        target = re.search(rb'Target="\.\./(comments\d+\.xml)"', z.read(rels))
        if not target:
            return {}
        root = ElementTree.fromstring(z.read("xl/" + target.group(1).decode()))
    return {c.get("ref"): ElementTree.tostring(c.find(MAIN + "text")) for c in root.iter(MAIN + "comment")}


def canonical(text_xml):
    wrapped = f'<comments xmlns="{MAIN[1:-1]}"><comment>{text_xml}</comment></comments>'
    return ElementTree.tostring(ElementTree.fromstring(wrapped).find(f"{MAIN}comment/{MAIN}text"))


@pytest.mark.parametrize("edit, expected, gone", [
    (lambda ws: None, KEPT, []),
    (lambda ws: ws.insert_rows(1), {"B3": KEPT["B2"], "D5": KEPT["D4"]}, []),
    (lambda ws: ws.set_cell_comment("B2", "new words", "Bob"), {"B2": plain("new words"), "D4": KEPT["D4"]}, [b"secret"]),
    (lambda ws: ws.set_cell_comment("B2", PLAIN["B2"], "Ann"), KEPT, []),
    (lambda ws: ws.delete_rows(1, 10), {}, [b"secret", b"hidden plan", b"reading", b"Ann"]),
], ids=["unchanged", "row insert", "replaced", "same words again", "deleted with their rows"])
def test_notes_keep_their_runs_and_leave_nothing_behind(rich_notes_path, tmp_path, edit, expected, gone):
    wb = velmo.load_workbook(rich_notes_path)
    ws = wb.worksheets[2]
    assert {ref: ws[ref].comment.text for ref in PLAIN} == PLAIN  # runs joined, the reading left out
    edit(ws)
    out = saved(wb, tmp_path / "out.xlsx")

    assert note_texts(out) == {ref: canonical(xml) for ref, (xml, _) in expected.items()}
    back = velmo.load_workbook(out).worksheets[2]
    assert {ref: back[ref].comment.text for ref in expected} == {ref: text for ref, (_, text) in expected.items()}
    with zipfile.ZipFile(out) as z:
        for name in z.namelist():
            for word in gone:
                assert word not in z.read(name), (name, word)
    assert unreached_parts(out) == unreached_parts(rich_notes_path) == set()
