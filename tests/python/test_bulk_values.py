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


# Run in a fresh interpreter, so that velmo meets the datetime module's classes as the argument says:
# replaced by Python-level subclasses before velmo is imported, or after it loaded the workbook.
STAND_IN_CLASSES = r"""
import datetime, sys, threading, time

real_date, real_datetime = datetime.date, datetime.datetime
sheet = None
made = 0


def meanwhile():
    global made
    made += 1
    if sheet is not None:
        sheet.max_row  # uses the workbook from inside the conversion
        time.sleep(0)  # and lets the other thread use it too


class FrozenDate(real_date):
    def __new__(cls, *args):
        meanwhile()
        return real_date.__new__(cls, *args)


class FrozenDateTime(real_datetime):
    def __new__(cls, *args):
        meanwhile()
        return real_datetime.__new__(cls, *args)


def install():
    datetime.date, datetime.datetime = FrozenDate, FrozenDateTime


when, path = sys.argv[1], sys.argv[2]
if when == "before":
    install()
import velmo

sheet = velmo.load_workbook(path).active
if when == "after":
    install()
results, failures = [], []


def read(by_values):
    try:
        for _ in range(20):
            results.append(sheet.values if by_values else sheet.iter_rows(values_only=True))
    except BaseException as e:
        failures.append(e)


threads = [threading.Thread(target=read, args=(flag,)) for flag in (True, False)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not failures, failures
expected = [(real_date(2024, 1, 1 + r), real_datetime(2024, 2, 1, 12, 30, r)) for r in range(30)]
assert len(results) == 40 and all(rows == expected for rows in results)
assert all(type(a) is FrozenDate and type(b) is FrozenDateTime for rows in results for a, b in rows)
assert made > 0
print("done")
"""


@pytest.mark.parametrize("when", ["before", "after"])
def test_date_classes_of_python_code_run_outside_the_workbook_lock(make_xlsx, tmp_path, when):
    def build(book):
        sheet = book.add_worksheet()
        day = book.add_format({"num_format": "yyyy-mm-dd"})
        moment = book.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"})
        for r in range(30):
            sheet.write_datetime(r, 0, dt.datetime(2024, 1, 1 + r), day)
            sheet.write_datetime(r, 1, dt.datetime(2024, 2, 1, 12, 30, r), moment)

    script = tmp_path / "stand_in.py"
    script.write_text(STAND_IN_CLASSES)
    try:
        run = subprocess.run([sys.executable, str(script), when, make_xlsx(build)], capture_output=True, text=True,
                             timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("reading dates through stand-in classes from two threads hung")
    assert run.returncode == 0 and run.stdout == "done\n", run.stderr
