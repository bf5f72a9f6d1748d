"""Text crosses between the package and Python in the package's own spelling: `_xHHHH_` escapes in
cell text, notes and table column names are decoded on load and written on save, so a text reads the
same in velmo, after a save, and in python-calamine."""

import random
import zipfile
from xml.etree import ElementTree

from python_calamine import CalamineWorkbook

import velmo
from test_save import hand_made, rel, rels, saved
from test_save_keeps import SST_HEAD

# Texts set from Python; each must come back as it went in.
TEXTS = [
    "plain",
    "ABC\r\nDEF\ttab",
    "_x0041_",  # a literal escape
    "_x005F_x0041_",
    "_x0041\x01",  # literal digits right before a character that is written as an escape
    "".join(map(chr, range(0, 32))),  # every control character, NUL included
    "a\x07b",
    "\ufffe\uffff",
    "_x004_ _x00G1_ _X0041_ end_x",  # not escapes
    "\U0001F600 é €",
    "_xD83D__xDE00_",  # a surrogate pair spelled out
    "_xD800_",  # a lone surrogate spelled out
    " _x0020_ ",
]
# What python-calamine gives where it reads differently: it decodes escapes below U+0100 only.
CALAMINE_READS = {"\ufffe\uffff": "_xFFFE__xFFFF_"}


def calamine_column(path, sheet="Sheet"):
    return [row[0] for row in CalamineWorkbook.from_path(path).get_sheet_by_name(sheet).to_python()]


def random_texts(count):
    """Texts heavy in what escapes are made of, of the characters python-calamine reads alike."""
    pieces = ["_", "x", "X", "0", "4", "1", "d", "F", "_x", "_x00", "_x0041_", "_x005F_", "_xD83D_", "\t", "\r\n",
              " ", "&", "<", "é", "€", "\U0001F600"] + [chr(c) for c in range(0, 32)]
    rnd = random.Random(7)
    return list(dict.fromkeys("".join(rnd.choices(pieces, k=rnd.randint(1, 10))) for _ in range(count)))


def test_texts_set_from_python_round_trip(tmp_path):
    texts = TEXTS + random_texts(400)
    wb = velmo.Workbook()
    ws = wb.active
    for row, text in enumerate(texts, 1):
        ws[f"A{row}"] = text
    for row, text in enumerate(TEXTS, 1):
        ws.set_cell_comment(f"A{row}", text, text)
    path = saved(wb, tmp_path / "out.xlsx")
    back = velmo.load_workbook(path).active
    assert [back[f"A{r}"].value for r in range(1, len(texts) + 1)] == texts
    authors = [t.strip(" \t\r\n") for t in TEXTS]  # an author's white space at either end is not kept
    notes = [back[f"A{r}"].comment for r in range(1, len(TEXTS) + 1)]
    assert [(n.text, n.author) for n in notes] == list(zip(TEXTS, authors))
    assert calamine_column(path) == [CALAMINE_READS.get(t, t) for t in texts]


# Escapes as they stand in a source part, and the text every reader gives them.
SOURCE = [
    ("ABC_x000D__x000A_DEF", "ABC\r\nDEF"),
    ("_x000d_", "\r"),
    ("_x005F_x0041_", "_x0041_"),
    ("a_x005f_b", "a_b"),
    ("__x0041__x0042_", "_AB"),
    ("_x0001__x001F__x0000_", "\x01\x1f\x00"),
    ("_x00e9_", "é"),
    ("_x004_ _x00G1_ _X0041_ _x0041 end_x", "_x004_ _x00G1_ _X0041_ _x0041 end_x"),
    ("_xD800_ _xDC00_", "_xD800_ _xDC00_"),
]


def source_package(path, texts):
    shared = "".join(f"<si><t>{t}</t></si>" for t in texts)
    data = "".join(f'<row r="{i}"><c r="A{i}" t="s"><v>{i - 1}</v></c>'
                   f'<c r="B{i}" t="inlineStr"><is><r><t>{t}</t></r></is></c>'
                   f'<c r="C{i}" t="inlineStr"><is><t>{t}</t></is></c>'
                   f'<c r="D{i}" t="str"><v>{t}</v></c></row>' for i, t in enumerate(texts, 1))
    comments = ('<comments xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><authors>' +
                "".join(f"<author>{t}</author>" for t in texts) + "</authors><commentList>" +
                "".join(f'<comment ref="A{i}" authorId="{i - 1}"><text><t>{t}</t></text></comment>'
                        for i, t in enumerate(texts, 1)) + "</commentList></comments>")
    sheet_rels = rels(rel("rId1", "comments", "../comments1.xml"))
    return hand_made(path, [("Sheet", "xl/worksheets/sheet1.xml", data, sheet_rels)],
                     extra=[("xl/sharedStrings.xml", SST_HEAD + shared + "</sst>"), ("xl/comments1.xml", comments)])


def velmo_texts(path):
    ws = velmo.load_workbook(path).active
    rows = list(ws.iter_rows(values_only=True))
    notes = [(ws[f"A{r}"].comment.text, ws[f"A{r}"].comment.author) for r in range(1, len(rows) + 1)]
    return rows, notes


def test_escapes_in_a_source_read_as_other_readers_read_them(tmp_path):
    escaped = [escaped for escaped, _ in SOURCE]
    expected = [text for _, text in SOURCE]
    src = source_package(tmp_path / "src.xlsx", escaped)
    rows, notes = velmo_texts(src)
    # Shared strings, inline strings with and without runs, and cached formula texts alike.
    assert rows == [(t, t, t, t) for t in expected]
    assert notes == list(zip(expected, expected))
    assert [tuple(r) for r in CalamineWorkbook.from_path(src).get_sheet_by_name("Sheet").to_python()] == rows

    out = saved(velmo.load_workbook(src), tmp_path / "out.xlsx")
    assert velmo_texts(out) == (rows, notes)
    assert [tuple(r) for r in CalamineWorkbook.from_path(out).get_sheet_by_name("Sheet").to_python()] == rows
    # The runs kept whole with their cells are written back as they were read.
    with zipfile.ZipFile(out) as z:
        shared = z.read("xl/sharedStrings.xml").decode()
    assert all(f"<r><t>{t}</t></r>" in shared for t in escaped)


def test_table_columns_are_spelled_as_their_header_cells(tmp_path):
    # A table's column names repeat its header cells, so both must spell a text the same way.
    wb = velmo.Workbook()
    ws = wb.active
    for col, text in enumerate(TEXTS, 1):
        ws[f"{velmo.get_column_letter(col)}1"] = text
    ws.add_table(velmo.Table("T", f"A1:{velmo.get_column_letter(len(TEXTS))}2"))
    path = saved(wb, tmp_path / "out.xlsx")
    main = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
    with zipfile.ZipFile(path) as z:
        columns = [c.get("name") for c in ElementTree.fromstring(z.read("xl/tables/table1.xml")).iter(main + "tableColumn")]
        shared = [si.findtext(main + "t") for si in ElementTree.fromstring(z.read("xl/sharedStrings.xml"))]
    assert columns == shared
    assert [c.name for c in velmo.load_workbook(path).active.tables["T"].tableColumns] == TEXTS
