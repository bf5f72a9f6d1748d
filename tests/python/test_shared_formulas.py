"""Each cell of a shared formula stores the master's text moved to it, charged to one budget for the
workbook: 64 MiB plus 256 bytes for each byte its worksheets take in the file."""

import resource
import subprocess
import sys
import textwrap
import zipfile

import pytest

from test_save import hand_made

MIB = 1 << 20
FORMULA = "IF(A1>100,ROUND(A1*1.0825,2),IF(A1>=50,ROUND(A1*1.055,2),ROUND(A1,2)))"  # 70 characters
LONG, LONGER = "+".join(["A1"] * 3000), "+".join(["A1"] * 10_000)
LOW = 1_040_000  # dependents from here down store "A1" as "A1040000"
CHILD = textwrap.dedent("""
    import sys, velmo
    def status(field):
        return int(next(l for l in open("/proc/self/status") if l.startswith(field)).split()[1]) // 1024
    before = status("VmRSS")
    try:
        print("loaded", repr(velmo.load_workbook(sys.argv[1])[sys.argv[2]][sys.argv[3]].value))
    except OSError as e:
        print(e)
    print(status("VmHWM") - before)
""")


def build(path, master, spread, overstate=None):
    """One sheet per list of rows in `spread`, B1's `master` shared down to them: the budget of the
    package and what its dependents store. `overstate`: a part whose directory entry claims 4 GiB."""
    def rows(deps):
        return (f'<row r="1"><c r="B1"><f t="shared" ref="B1:B1048576" si="0">{master}</f></c></row>'
                + "".join(f'<row r="{r}"><c r="A{r}"><v>{r % 1000}</v></c><c r="B{r}"><f t="shared" si="0"/>'
                          f"<v>1</v></c></row>" for r in deps))
    hand_made(path, [(f"S{i + 1}", f"xl/worksheets/sheet{i + 1}.xml", rows(d), None) for i, d in enumerate(spread)])
    with zipfile.ZipFile(path) as z:
        stored = sum(i.compress_size for i in z.infolist() if i.filename.startswith("xl/worksheets/"))
    if overstate:
        data = bytearray(path.read_bytes())
        at = data.rindex(overstate.encode()) - 46  # its record in the central directory
        data[at + 20:at + 24] = (0xFFFFFFFE).to_bytes(4, "little")
        path.write_bytes(data)
        stored = len(data)
    return 64 * MIB + 256 * stored, sum(160 + len(master) + master.count("A1") * (len(str(r)) - 1)
                                        for deps in spread for r in deps)


def at_edge(path, sheets, over):
    """Dependents of LONG from row LOW, dealt round `sheets` sheets: as many as the budget pays for,
    and one more when `over`."""
    def spread(n):
        return [range(LOW + s, LOW + n, sheets) for s in range(sheets)]

    def fits(n):
        limit, cost = build(path, LONG, spread(n))
        return cost <= limit

    n = 1
    for _ in range(3):  # the budget grows a little with each dependent written
        limit, cost = build(path, LONG, spread(n))
        n = n * limit // cost
    while not fits(n):
        n -= 1
    while fits(n + 1):
        n += 1
    return spread(n + over)


@pytest.mark.parametrize("case, master, spread, loads", [
    # 46 KB whose 8,000 dependents store 90 KB each, their master 30 KB: once, a load of 730 MB.
    ("moved references", LONGER, [range(LOW, LOW + 8000)], False),
    ("a real-sized sheet", FORMULA, [range(2, 200_001)], True),
    ("one sheet under", LONG, (1, 0), True),
    ("one sheet over", LONG, (1, 1), False),
    # Each sheet alone is far under the budget: they share it.
    ("four sheets under", LONG, (4, 0), True),
    ("four sheets over", LONG, (4, 1), False),
    # The first sheet may spend what the file's size gives, not what a later entry claims.
    ("a later sheet overstating its size", LONGER, [range(LOW, LOW + 8000), range(LOW, LOW + 1)], False),
])
def test_shared_formulas_load_within_one_budget_for_the_workbook(tmp_path, case, master, spread, loads):
    path = tmp_path / "book.xlsx"
    if isinstance(spread, tuple):
        spread = at_edge(path, *spread)
    limit, cost = build(path, master, spread, "xl/worksheets/sheet2.xml" if "overstating" in case else None)
    assert (cost <= limit) == loads
    last = spread[-1][-1]
    out = subprocess.run([sys.executable, "-c", CHILD, path, f"S{len(spread)}", f"B{last}"], text=True,
                         capture_output=True, timeout=120,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30)))
    assert out.returncode == 0, out.stderr[-2000:]
    result, peak = out.stdout.splitlines()
    if loads:
        assert result == "loaded " + repr("=" + master.replace("A1", f"A{last}"))
    else:
        # Named in the sheet whose dependent passed the budget: the last read.
        sheet = 1 if "overstating" in case else len(spread)
        assert result == f"xml: xl/worksheets/sheet{sheet}.xml: shared formulas expand to more than {limit} bytes"
    # The peak: what the dependents stored, within the budget, besides the parts and the cells of column A.
    assert int(peak) < min(cost, limit) // MIB + 48
