"""Reading every value of a sheet at once: the values-only road against the cell road."""

import datetime as dt
import gc

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
