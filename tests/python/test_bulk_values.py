"""Reading every value of a sheet at once: the values-only road against the cell road."""

import datetime as dt
import gc
import subprocess
import sys

import pytest

import velmo


def test_values_only_matches_the_cells(make_xlsx):
    def build(book):
        sheet = book.add_worksheet()
        date_format = book.add_format({"num_format": "yyyy-mm-dd"})
        for r in range(300):
            sheet.write_number(r, 0, r * 1.5)
            sheet.write_string(r, 1, f"t{r % 7}")
            sheet.write_datetime(r, 2, dt.datetime(2020, 1, 1) + dt.timedelta(days=r % 5), date_format)
            if r % 3:
                sheet.write_boolean(r, 4, r % 2 == 0)

    wb = velmo.load_workbook(make_xlsx(build))
    ws = wb.active
    ws["a1"] = "not canonical"  # a key of its own that no rectangle read finds
    ws["F2"] = "=A1+1"
    by_cells = [tuple(c.value for c in row) for row in ws.iter_rows()]
    assert ws.iter_rows(values_only=True) == by_cells
    assert ws.values == by_cells
    assert ws.iter_cols(values_only=True) == [tuple(c.value for c in col) for col in ws.iter_cols()]
    assert ws.iter_rows(min_row=10, max_row=12, min_col=2, max_col=3, values_only=True) == [
        tuple(c.value for c in row) for row in ws.iter_rows(min_row=10, max_row=12, min_col=2, max_col=3)
    ]
    assert by_cells[0][:3] == (0, "t0", dt.date(2020, 1, 1))
    assert by_cells[1][5] == "=A1+1"


def test_collector_state_survives_reads_and_refusals(ws):
    ws.append([1, 2, 3])
    assert gc.isenabled()
    ws.iter_rows(values_only=True)
    assert gc.isenabled()
    with pytest.raises(ValueError):
        ws.iter_rows(min_row=0, max_row=5, values_only=True)
    assert gc.isenabled()
    gc.disable()
    try:
        assert ws.values == [(1, 2, 3)]
        assert not gc.isenabled()
    finally:
        gc.enable()
    ws.append([4])  # the workbook is still usable after the refusal
    assert ws.values == [(1, 2, 3), (4, None, None)]


def test_append_takes_plain_lists_and_datetime_values_directly(ws):
    class Shrinker:
        """An index conversion that empties the row it sits in."""

        def __init__(self, row):
            self.row = row

        def __index__(self):
            del self.row[1:]
            return 7

    row = [1, None, "x"]
    row[1] = Shrinker(row)
    ws.append(row)  # the row ends where the list now ends, as iterating it would
    ws.append([dt.date(2024, 2, 29), dt.datetime(2024, 1, 2, 3, 4, 5), dt.time(6, 7), dt.timedelta(days=1, seconds=2)])

    class Day(dt.date):
        def __float__(self):
            return 3.5

    ws.append((Day(2024, 1, 1), 2.5))  # a subclass still meets the float conversion first
    assert ws.values == [
        (1, 7, None, None),
        (dt.date(2024, 2, 29), dt.datetime(2024, 1, 2, 3, 4, 5), dt.time(6, 7), dt.timedelta(days=1, seconds=2)),
        (3.5, 2.5, None, None),
    ]


# Run in a fresh interpreter, so that velmo meets the datetime module's classes replaced by classes of
# Python code, before velmo is imported or after. Each object they make reads the workbook and lets the
# other thread in.
STAND_INS = r"""
import datetime, sys, threading, time
real = datetime.date, datetime.datetime
sheet = None


def stand_in(base):
    def new(cls, *args):
        if sheet is not None:
            sheet.max_row
            time.sleep(0)
        return base.__new__(cls, *args)
    return type("Frozen" + base.__name__, (base,), {"__new__": new})


if sys.argv[1] == "before":
    datetime.date, datetime.datetime = map(stand_in, real)
import velmo
if sys.argv[1] == "after":
    datetime.date, datetime.datetime = map(stand_in, real)
sheet, results = velmo.Workbook().active, []
for r in range(30):
    sheet.append([datetime.date(2024, 1, 1 + r), datetime.datetime(2024, 2, 1, 12, 30, r)])
threads = [threading.Thread(target=lambda: results.extend(sheet.values for _ in range(20))),
           threading.Thread(target=lambda: results.extend(sheet.iter_rows(values_only=True) for _ in range(20)))]
for t in threads:
    t.start()
for t in threads:
    t.join()
expected = [(real[0](2024, 1, 1 + r), real[1](2024, 2, 1, 12, 30, r)) for r in range(30)]
assert len(results) == 40 and all(rows == expected for rows in results)
assert {(type(a), type(b)) for rows in results for a, b in rows} == {(datetime.date, datetime.datetime)}
print("done")
"""


@pytest.mark.parametrize("when", ["before", "after"])
def test_datetime_classes_of_python_code_run_outside_the_workbook_lock(tmp_path, when):
    script = tmp_path / "stand_ins.py"
    script.write_text(STAND_INS)
    try:
        run = subprocess.run([sys.executable, str(script), when], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("two threads reading dates through stand-in classes hung")
    assert (run.returncode, run.stdout) == (0, "done\n"), run.stderr
