"""A text of the shared strings read by many cells is held once: loading, reading every value and saving
take memory in proportion to the file, and an edit of one such cell leaves the others' text as it was."""

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


def shared_text_package(path, items, refs):
    """One sheet whose cells, ten a row, read the shared strings `items` (whole `si` elements) by index;
    a cell whose index is None is left out."""
    rows = "".join(f'<row r="{r + 1}">' + "".join(f'<c r="{"ABCDEFGHIJ"[c]}{r + 1}" t="s"><v>{i}</v></c>'
                                                    for c, i in enumerate(refs[r * 10:r * 10 + 10]) if i is not None)
                   + "</row>"
                   for r in range((len(refs) + 9) // 10))
    return hand_made(path, [("Sheet", "xl/worksheets/sheet1.xml", rows, None)],
                     extra=[("xl/sharedStrings.xml", SST_HEAD + "".join(items) + "</sst>")])


def long_text(length):
    return " ".join(f"word{i % 97}" for i in range(length // 5 + 1))[:length - 1] + "."


def in_runs(text):
    return f"<si><r><rPr><b/></rPr><t>{text[:10]}</t></r><r><t>{text[10:]}</t></r></si>"


CHILD = textwrap.dedent("""
    import resource, sys
    import velmo
    source, saved, text, cells = sys.argv[1], sys.argv[2], open(sys.argv[3]).read(), int(sys.argv[4])
    wb = velmo.load_workbook(source)
    values = [v for row in wb.active.iter_rows(values_only=True) for v in row]
    assert values == [text] * cells and wb.active["J1"].value == text
    wb.save(saved)
    assert [v for row in velmo.load_workbook(saved).active.iter_rows(values_only=True) for v in row] == values
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
""")
# Far below what a copy of the text in every cell took (1.6 GB for the heavy case, 4 GB for the bombs).
LIMIT = 768 << 20


@pytest.mark.parametrize("length, cells, runs", [
    (32767, 50_000, False),  # the longest text a cell holds, in a heavy but real workbook
    (1 << 20, 4_000, False),  # a bomb: 1 MiB read by 4,000 cells, from a package of a few KiB
    (1 << 20, 4_000, True),  # the same in runs of their own formatting
])
def test_a_text_read_by_many_cells_is_held_once(tmp_path, length, cells, runs):
    text = long_text(length)
    source = shared_text_package(tmp_path / "source.xlsx", [in_runs(text) if runs else f"<si><t>{text}</t></si>"],
                                 [0] * cells)
    (tmp_path / "text").write_text(text)
    saved = tmp_path / "saved.xlsx"
    out = subprocess.run([sys.executable, "-c", CHILD, source, saved, tmp_path / "text", str(cells)], text=True,
                         capture_output=True, timeout=120,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT)))
    assert out.returncode == 0, out.stderr[-2000:]
    assert int(out.stdout) < 256  # MiB at the peak
    with zipfile.ZipFile(saved) as z:
        shared = z.read("xl/sharedStrings.xml").decode()
    assert shared.count("<si>") == 1 and ("<b/>" in shared) == runs


def test_a_bulk_read_gives_each_cell_its_own_long_text(tmp_path):
    # More distinct long texts than the read's table of the strs it made has places, each read twice.
    texts = [long_text(300) + str(i) for i in range(1500)]
    path = shared_text_package(tmp_path / "book.xlsx", [f"<si><t>{t}</t></si>" for t in texts], list(range(1500)) * 2)
    assert [v for row in velmo.load_workbook(path).active.iter_rows(values_only=True) for v in row] == texts * 2


SHARED, OTHER = long_text(300), long_text(280) + "!"


@pytest.mark.parametrize("edit, expected", [
    (lambda ws: ws.__setitem__("A2", "own"), {"A2": "own", "A3": SHARED, "A4": OTHER}),
    (lambda ws: ws.__setitem__("A2", OTHER), {"A2": OTHER, "A3": SHARED, "A4": OTHER}),
    (lambda ws: ws.__setitem__("A2", 7), {"A2": 7, "A3": SHARED}),
    (lambda ws: ws.__setitem__("A2", None), {"A2": None, "A3": SHARED}),
    (lambda ws: ws.__setitem__("A2", ws["A1"].value + "?"), {"A2": SHARED + "?", "A3": SHARED}),
    (lambda ws: ws.delete_rows(2), {"A2": SHARED, "A3": OTHER, "A4": None}),
    (lambda ws: ws.move_range("A2:B3", 0, 2), {"A2": None, "C2": SHARED, "D2": SHARED, "C3": SHARED, "A4": OTHER}),
    (lambda ws: ws.move_range("A4", -2), {"A2": OTHER, "A3": SHARED, "A4": None}),
])
def test_an_edit_of_a_cell_sharing_a_text_leaves_the_others(tmp_path, edit, expected):
    # A1:A3 read one long shared string, A4 another; B1:B2 read the first in runs of its own formatting.
    path = shared_text_package(tmp_path / "source.xlsx", [f"<si><t>{SHARED}</t></si>", f"<si><t>{OTHER}</t></si>",
                                                          in_runs(SHARED)],
                                [0, 2] + [None] * 8 + [0, 2] + [None] * 8 + [0] + [None] * 9 + [1])
    wb = velmo.load_workbook(path)
    edit(wb.active)
    expected = {"A1": SHARED, "B1": SHARED, **expected}
    saved = str(tmp_path / "saved.xlsx")
    wb.save(saved)
    again = velmo.load_workbook(saved).active
    grid = CalamineWorkbook.from_path(saved).get_sheet_by_name("Sheet").to_python(skip_empty_area=False)
    for key, value in expected.items():
        row, col = int(key[1:]) - 1, ord(key[0]) - ord("A")
        assert wb.active[key].value == again[key].value == value, key
        assert (grid[row][col] if row < len(grid) and col < len(grid[row]) else "") == ("" if value is None else value)
    # The bulk read, which holds each long text once and makes one str of it, gives each cell its own.
    assert list(again.iter_rows(values_only=True)) == [tuple(c.value for c in row) for row in again.iter_rows()]


def test_a_long_shared_formula_copied_into_many_cells_is_refused_in_bounded_memory(tmp_path):
    # A package of a few KiB whose 1 MiB master formula 1,000 dependents copy: a GiB of formula text.
    master = "+".join(["1"] * (1 << 19))
    rows = (f'<row r="1"><c r="A1"><f t="shared" ref="A1:A1001" si="0">{master}</f></c></row>'
            + "".join(f'<row r="{r}"><c r="A{r}"><f t="shared" si="0"/><v>1</v></c></row>' for r in range(2, 1002)))
    source = hand_made(tmp_path / "source.xlsx", [("Sheet", "xl/worksheets/sheet1.xml", rows, None)])
    load = "import sys, velmo\ntry: velmo.load_workbook(sys.argv[1])\nexcept OSError as e: print(e)"
    out = subprocess.run([sys.executable, "-c", load, source], text=True, capture_output=True, timeout=120,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT)))
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.startswith("xml: xl/worksheets/sheet1.xml: shared formulas expand to more than ")
