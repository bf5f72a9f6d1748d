"""A text of the shared strings read by many cells: held once, so that loading, reading every value,
editing and saving take memory in proportion to the file; and edits of one such cell leave the others'
text as it was."""

import random
import resource
import subprocess
import sys
import textwrap
import zipfile

import pytest
from python_calamine import CalamineWorkbook

import velmo
from test_save import hand_made
from test_save_keeps import SST_HEAD


def column(i):
    return chr(ord("A") + i % 10)


def shared_text_package(path, items, refs):
    """One sheet whose cells, ten a row, read the shared strings `items` (whole `si` elements) by the
    indexes `refs`."""
    rows = []
    for r in range(0, len(refs), 10):
        cells = "".join(f'<c r="{column(i)}{r // 10 + 1}" t="s"><v>{refs[i]}</v></c>' for i in range(r, min(r + 10, len(refs))))
        rows.append(f'<row r="{r // 10 + 1}">{cells}</row>')
    return hand_made(path, [("Sheet", "xl/worksheets/sheet1.xml", "".join(rows), None)],
                     extra=[("xl/sharedStrings.xml", SST_HEAD + "".join(items) + "</sst>")])


def long_text(length):
    words = " ".join(f"word{i % 97}" for i in range(length // 5 + 1))
    return words[:length - 1] + "."


CHILD = textwrap.dedent(
    """
    import resource, sys
    import velmo
    source, saved, text, cells = sys.argv[1], sys.argv[2], open(sys.argv[3]).read(), int(sys.argv[4])
    wb = velmo.load_workbook(source)
    values = [v for row in wb.active.iter_rows(values_only=True) for v in row]
    assert len(values) == cells and all(v == text for v in values)
    assert wb.active["A1"].value == text
    wb.save(saved)
    again = velmo.load_workbook(saved)
    assert [v for row in again.active.iter_rows(values_only=True) for v in row] == values
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
    """
)

# The address space the child may take: far below what copying the text into every cell took (1.6 GB
# for the heaviest real case, 4 GB for the bomb), far above what the interpreter and the package need.
LIMIT = 768 << 20


def limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


@pytest.mark.parametrize("length, cells, runs", [
    (32767, 50_000, False),  # the longest text a cell holds, in a heavy but real workbook
    (1 << 20, 4_000, False),  # a bomb: 1 MiB read by 4,000 cells from a package of a few KiB
    (1 << 20, 4_000, True),  # the same text in runs of its own formatting
])
def test_a_text_read_by_many_cells_is_held_once(tmp_path, length, cells, runs):
    text = long_text(length)
    half = length // 2
    item = (f"<si><r><rPr><b/></rPr><t>{text[:half]}</t></r><r><t>{text[half:]}</t></r></si>" if runs
            else f"<si><t>{text}</t></si>")
    source = shared_text_package(tmp_path / "source.xlsx", [item], [0] * cells)
    (tmp_path / "text").write_text(text)
    saved = tmp_path / "saved.xlsx"
    out = subprocess.run([sys.executable, "-c", CHILD, source, saved, tmp_path / "text", str(cells)],
                         capture_output=True, text=True, timeout=120, preexec_fn=limit_address_space)
    assert out.returncode == 0, out.stderr[-2000:]
    assert int(out.stdout) < 256  # MiB at its peak
    with zipfile.ZipFile(saved) as z:
        shared = z.read("xl/sharedStrings.xml").decode()
    assert shared.count("<si>") == 1 and ('<b/>' in shared) == runs


@pytest.mark.parametrize("seed", range(3))
def test_values_read_in_bulk_are_the_cells_values(tmp_path, seed):
    # Long and short texts, each read by several cells in random places: the bulk read, which holds
    # each long text once and makes one str of it, gives every cell its own text.
    rng = random.Random(seed)
    texts = [long_text(rng.randint(31, 600)) + str(i) for i in range(8)] + ["short", "s2", ""]
    refs = [rng.randrange(len(texts)) for _ in range(rng.randint(50, 400))]
    path = shared_text_package(tmp_path / "book.xlsx", [f"<si><t>{t}</t></si>" for t in texts], refs)
    ws = velmo.load_workbook(path).active
    expected = [[texts[refs[r * 10 + c]] if r * 10 + c < len(refs) else None for c in range(10)]
                for r in range((len(refs) + 9) // 10)]
    assert [list(row) for row in ws.iter_rows(values_only=True)] == expected
    assert [[c.value for c in row] for row in ws.iter_rows()] == expected
    assert [list(col) for col in ws.iter_cols(values_only=True)] == [list(c) for c in zip(*expected)]


SHARED = long_text(300)
OTHER = long_text(280) + "!"


@pytest.mark.parametrize("edit, expected", [
    (lambda ws: ws.__setitem__("A2", "own"), {"A1": SHARED, "A2": "own", "A3": SHARED, "A4": OTHER, "B1": SHARED}),
    (lambda ws: ws.__setitem__("A2", OTHER), {"A1": SHARED, "A2": OTHER, "A3": SHARED, "A4": OTHER, "B1": SHARED}),
    (lambda ws: ws.__setitem__("A2", 7), {"A1": SHARED, "A2": 7, "A3": SHARED, "A4": OTHER, "B1": SHARED}),
    (lambda ws: ws.__setitem__("A2", None), {"A1": SHARED, "A2": None, "A3": SHARED, "A4": OTHER, "B1": SHARED}),
    (lambda ws: ws.__setitem__("A2", ws["A1"].value + "?"), {"A1": SHARED, "A2": SHARED + "?", "A3": SHARED, "B1": SHARED}),
    (lambda ws: ws.delete_rows(2), {"A1": SHARED, "A2": SHARED, "A3": OTHER, "A4": None, "B1": SHARED}),
    (lambda ws: ws.insert_rows(1), {"A1": None, "A2": SHARED, "A3": SHARED, "A4": SHARED, "A5": OTHER, "B2": SHARED}),
    (lambda ws: ws.move_range("A2:A3", 0, 2), {"A1": SHARED, "A2": None, "C2": SHARED, "C3": SHARED, "A4": OTHER, "B1": SHARED}),
    (lambda ws: ws.move_range("A4", -2), {"A1": SHARED, "A2": OTHER, "A3": SHARED, "A4": None, "B1": SHARED}),
])
def test_an_edit_of_a_cell_sharing_a_text_leaves_the_others(tmp_path, edit, expected):
    # A1:A3 read one shared string, A4 another; B1 reads the first in runs of its own formatting.
    bold = f"<si><r><rPr><b/></rPr><t>{SHARED[:10]}</t></r><r><t>{SHARED[10:]}</t></r></si>"
    data = ('<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>2</v></c></row>'
            '<row r="2"><c r="A2" t="s"><v>0</v></c></row><row r="3"><c r="A3" t="s"><v>0</v></c></row>'
            '<row r="4"><c r="A4" t="s"><v>1</v></c></row>')
    items = [f"<si><t>{SHARED}</t></si>", f"<si><t>{OTHER}</t></si>", bold]
    path = hand_made(tmp_path / "source.xlsx", [("Sheet", "xl/worksheets/sheet1.xml", data, None)],
                     extra=[("xl/sharedStrings.xml", SST_HEAD + "".join(items) + "</sst>")])
    wb = velmo.load_workbook(path)
    edit(wb.active)
    assert {key: wb.active[key].value for key in expected} == expected
    saved = str(tmp_path / "saved.xlsx")
    wb.save(saved)
    again = velmo.load_workbook(saved).active
    assert {key: again[key].value for key in expected} == expected
    grid = CalamineWorkbook.from_path(saved).get_sheet_by_name("Sheet").to_python(skip_empty_area=False)
    for key, value in expected.items():
        col, row = ord(key[0]) - ord("A"), int(key[1:]) - 1
        got = grid[row][col] if row < len(grid) and col < len(grid[row]) else ""
        assert got == ("" if value is None else value), key
