"""Each cell of a shared formula stores its own text, the master's moved to it; what all of them store
is charged to one budget per workbook, in proportion to the bytes its worksheets take in the file."""

import resource
import subprocess
import sys
import textwrap
import zipfile

import pytest

from test_save import hand_made

MIB = 1 << 20
CELL = 160  # what a dependent costs besides its text
FORMULA = "IF(A1>100,ROUND(A1*1.0825,2),IF(A1>=50,ROUND(A1*1.055,2),ROUND(A1,2)))"  # 70 characters
LOW = 1_040_000  # dependents from here down store "A1" as "A1040000"

CHILD = textwrap.dedent("""
    import sys, velmo
    def status(field):
        return int(next(l for l in open("/proc/self/status") if l.startswith(field)).split()[1]) // 1024
    before = status("VmRSS")
    try:
        wb = velmo.load_workbook(sys.argv[1])
        print("loaded", *(repr(wb[t][k].value) for t, k in zip(sys.argv[2::2], sys.argv[3::2])))
    except OSError as e:
        print(e)
    print(status("VmHWM") - before)
""")


def long_master(terms):
    return "+".join(["A1"] * terms)


def moved(text, row):
    return text.replace("A1", f"A{row}")


def column_b(master, dependents):
    """A sheet whose B1 holds `master`, shared down the column to the rows `dependents`."""
    return (f'<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f t="shared" ref="B1:B1048576" si="0">{master}</f>'
            f"<v>1</v></c></row>"
            + "".join(f'<row r="{r}"><c r="A{r}"><v>{r % 1000}</v></c><c r="B{r}"><f t="shared" si="0"/>'
                      f"<v>{r % 1000}</v></c></row>" for r in dependents))


def build(path, master, spread):
    """One sheet per list of dependents' rows in `spread`; the budget the package gets and what its
    dependents cost."""
    hand_made(path, [(f"S{i + 1}", f"xl/worksheets/sheet{i + 1}.xml", column_b(master, rows), None)
                     for i, rows in enumerate(spread)])
    with zipfile.ZipFile(path) as z:
        stored = sum(i.compress_size for i in z.infolist() if i.filename.startswith("xl/worksheets/"))
    refs = master.count("A1")  # each grows by the row's digits but one
    cost = sum(CELL + len(master) + refs * (len(str(r)) - 1) for rows in spread for r in rows)
    return 64 * MIB + 256 * stored, cost


def overstate(path, name):
    """The directory's entry for `name` claims 4 GiB of stored bytes; the local header still tells the truth."""
    data = bytearray(path.read_bytes())
    at = data.rindex(name.encode()) - 46  # the central directory's record, after every local header
    assert data[at:at + 4] == b"PK\x01\x02"
    data[at + 20:at + 24] = (0xFFFFFFFE).to_bytes(4, "little")
    path.write_bytes(data)
    return 64 * MIB + 256 * len(data)


def at_edge(path, master, sheets, over):
    """Dependents from row LOW spread over `sheets` sheets, as many as the budget pays for, and one
    more when `over`."""
    def spread_of(n):
        return [list(range(LOW + s, LOW + n, sheets)) for s in range(sheets)]

    def fits(n):
        limit, cost = build(path, master, spread_of(n))
        return cost <= limit

    n = 1
    for _ in range(3):  # the budget grows a little with each dependent written
        limit, cost = build(path, master, spread_of(n))
        n = max(1, n * limit // cost)
    while not fits(n):
        n -= 1
    while fits(n + 1):
        n += 1
    spread = spread_of(n + over)
    return spread, *build(path, master, spread)


@pytest.mark.parametrize("case, loads", [
    ("moved references", False),
    ("one sheet under", True),
    ("one sheet over", False),
    ("four sheets under", True),
    ("four sheets over", False),
    ("a real-sized sheet", True),
    ("a later sheet overstating its size", False),
])
def test_shared_formulas_load_within_one_budget_for_the_workbook(tmp_path, case, loads):
    path = tmp_path / "book.xlsx"
    master = FORMULA if case == "a real-sized sheet" else long_master(3000)
    if case == "moved references":
        # 46 KB whose 8,000 dependents of a 30 KB master store 90 KB each: once, a load of 730 MB.
        master = long_master(10_000)
        spread = [range(LOW, LOW + 8000)]
        limit, cost = build(path, master, spread)
    elif case == "a real-sized sheet":
        spread = [range(2, 200_001)]
        limit, cost = build(path, master, spread)
    elif case == "a later sheet overstating its size":
        # What the first sheet may spend is cut at the file's size, whatever the second claims.
        spread = [range(LOW, LOW + 8000), range(LOW, LOW + 1)]
        cost = build(path, master, spread)[1]
        limit = overstate(path, "xl/worksheets/sheet2.xml")
    else:
        # Each of four sheets alone is far under the budget: they share it.
        spread, limit, cost = at_edge(path, master, 4 if "four" in case else 1, "over" in case)
    assert (cost <= limit) == loads
    last = spread[-1][-1]
    out = subprocess.run([sys.executable, "-c", CHILD, path, f"S{len(spread)}", f"B{last}"], text=True,
                         capture_output=True, timeout=120,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30)))
    assert out.returncode == 0, out.stderr[-2000:]
    result, peak = out.stdout.splitlines()
    if loads:
        assert result == "loaded " + repr("=" + moved(master, last))
    else:
        # Named in the sheet whose dependent passes the budget: the last read.
        sheet = 1 if "overstating" in case else len(spread)
        assert result == f"xml: xl/worksheets/sheet{sheet}.xml: shared formulas expand to more than {limit} bytes"
    # The peak: what the dependents stored, within the budget, besides the parts and the cells of column A.
    assert int(peak) < min(cost, limit) // MIB + 48
