"""Worksheet cells: exact keys, cell(), iteration with fillers and bounds, append, argument rules."""

import pytest

import velmo


def coords(rows):
    return [tuple(f"{c.column}:{c.row}" for c in row) for row in rows]


# ---- keys ----

def test_empty_sheet(ws):
    rows = ws.rows
    assert len(rows) == 1 and len(rows[0]) == 1
    assert rows[0][0].value is None and (rows[0][0].row, rows[0][0].column) == (1, 1)
    assert ws.values == [(None,)]
    assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (1, 1, 1, 1)


def test_keys_are_taken_byte_for_byte(ws):
    ws["b2"] = "lower"
    assert ws["b2"].value == "lower"
    assert ws["B2"].value is None
    assert ws.cell(row=2, column=2).value is None
    assert ws.max_row == 2 and ws.max_column == 2
    assert ws.iter_rows(min_row=2, max_row=2, min_col=2, max_col=2, values_only=True) == [(None,)]
    snap = ws["b2"]
    assert (snap.row, snap.column) == (2, 2)


def test_reading_creates_nothing(ws):
    snap = ws["ZZ99"]
    assert snap.value is None and snap.font is None and snap.fill is None
    assert snap.comment is None and snap.hyperlink is None
    assert ws.max_row == 1 and ws.max_column == 1


def test_any_text_is_a_key(ws):
    ws["junk"] = 1
    ws["A1:B2"] = 2
    assert ws["junk"].value == 1 and ws["A1:B2"].value == 2
    assert (ws.max_row, ws.max_column) == (1, 1)
    for key in ("junk", "$A$1", "A0", "A1:B2"):
        with pytest.raises(ValueError) as exc:
            ws[key].row
        assert exc.value.args == ("Cell reference must be a valid A1 address",)
        with pytest.raises(ValueError):
            ws[key].column


def test_assignment_replaces_only_the_value_and_snapshots_do_not_follow(ws):
    before = ws["A1"]
    ws["A1"] = 2
    assert before.value is None and ws["A1"].value == 2
    ws["A1"] = None
    assert ws["A1"].value is None and ws.max_row == 1


def test_key_type_and_deletion(ws):
    with pytest.raises(TypeError, match="argument 'coord'"):
        ws[1]
    with pytest.raises(TypeError, match="argument 'coord'"):
        ws[1] = 2
    with pytest.raises(NotImplementedError) as exc:
        del ws["A1"]
    assert exc.value.args == ("can't delete item",)
    with pytest.raises(NotImplementedError):
        del ws[object()]


# ---- cell() ----

def test_cell_arguments(ws):
    ws["C2"] = "x"
    assert ws.cell(row=2, column=3).value == "x"
    assert ws.cell(row=2**32 - 1, column=16385).value is None
    with pytest.raises(ValueError) as exc:
        ws.cell(row=0, column=0)
    assert exc.value.args == ("row must be >= 1, got 0",)
    with pytest.raises(ValueError) as exc:
        ws.cell(row=1, column=0)
    assert exc.value.args == ("column must be >= 1, got 0",)
    with pytest.raises(TypeError):
        ws.cell(1, 2)
    with pytest.raises(TypeError):
        ws.cell(row=1)
    with pytest.raises(TypeError):
        ws.cell(row=1, column=1, value=3)
    with pytest.raises(OverflowError) as exc:
        ws.cell(row=-1, column=1)
    assert exc.value.args == ("out of range integral type conversion attempted",)
    with pytest.raises(OverflowError):
        ws.cell(row=2**32, column=1)
    with pytest.raises(OverflowError):
        ws.cell(row=2**70, column=1)
    with pytest.raises(TypeError, match="argument 'row'"):
        ws.cell(row=1.0, column=1)
    with pytest.raises(TypeError, match="argument 'column'"):
        ws.cell(row=1, column="A")
    assert ws.cell(row=True, column=True).row == 1  # a bool counts as 0 or 1


# ---- iteration ----

def test_iteration_fills_the_used_range(ws):
    ws["B3"] = "b3"
    ws["D5"] = "d5"
    rows = ws.iter_rows()
    assert len(rows) == 3 and all(len(r) == 3 for r in rows)
    assert rows[0][0].value == "b3" and rows[2][2].value == "d5"
    assert rows[1][1].value is None and (rows[1][1].row, rows[1][1].column) == (4, 3)
    assert ws.values == [("b3", None, None), (None, None, None), (None, None, "d5")]
    cols = ws.columns
    assert [c[0].column for c in cols] == [2, 3, 4]
    assert cols[0][0].value == "b3"


def test_iteration_bounds(ws):
    ws["A1"] = 1
    ws["C3"] = 9
    assert ws.iter_rows(min_row=5) == []
    assert ws.iter_rows(min_col=3, max_col=2) == []
    assert ws.iter_rows(min_row=5, max_row=0) == []
    by_cols = ws.iter_cols(min_col=1, max_col=2, min_row=1, max_row=3)
    by_rows = ws.iter_rows(min_row=1, max_row=3, min_col=1, max_col=2)
    assert len(by_cols) == 2 and all(len(c) == 3 for c in by_cols)
    assert len(by_rows) == 3 and all(len(r) == 2 for r in by_rows)
    assert ws.iter_rows(None, None, None, None, True) == ws.values
    assert ws.iter_rows(2, 3, 2, 3, values_only=True) == [(None, None), (None, 9)]
    assert ws.iter_cols(3, 3, 1, 3, values_only=True) == [(None, None, 9)]


def test_iteration_refuses_row_zero_and_stays_usable(ws):
    ws["A1"] = 1
    with pytest.raises(ValueError):
        ws.iter_rows(min_row=0)
    with pytest.raises(ValueError):
        ws.iter_cols(min_col=0, max_col=1)
    assert ws.values == [(1,)]


# A note in the grid's last cell makes the used range 17 billion positions: every read without
# bounds refuses, saying how to read part of it, and bounds read it.
@pytest.mark.parametrize("read", [
    lambda ws: ws.rows, lambda ws: ws.columns, lambda ws: ws.values,
    lambda ws: ws.iter_rows(), lambda ws: ws.iter_cols(values_only=True), lambda ws: ws.iter_rows(min_row=2),
])
def test_reads_past_the_rectangle_limit_say_to_pass_bounds(ws, read):
    ws["A1"] = 1
    ws.set_cell_comment("XFD1048576", "the end", "Ann")
    with pytest.raises(ValueError) as e:
        read(ws)
    assert e.value.args[0].endswith(
        "exceeds the limit of 100000000 cells: pass min_row, max_row, min_col and max_col to read part of it")
    assert ws.iter_rows(max_row=2, max_col=2, values_only=True) == [(1, None), (None, None)]
    assert ws.iter_cols(min_row=1048576, min_col=16384, values_only=True) == [(None,)]


def test_iteration_argument_rules(ws):
    with pytest.raises(TypeError, match="argument 'values_only'"):
        ws.iter_rows(values_only=None)
    with pytest.raises(TypeError, match="argument 'values_only'"):
        ws.iter_rows(values_only=1)
    with pytest.raises(TypeError, match="argument 'min_row'"):
        ws.iter_rows(min_row="1")
    with pytest.raises(OverflowError):
        ws.iter_cols(min_col=-1)
    with pytest.raises(TypeError):
        ws.iter_rows(1, 2, 3, 4, False, 6)
    with pytest.raises(TypeError):
        ws.iter_rows(1, min_row=1)
    with pytest.raises(TypeError):
        ws.iter_rows(bogus=1)


# ---- append ----

def test_append_lists_and_iterables(ws):
    ws["A4"] = "last"
    ws.append([1, None, "x"])
    assert ws.iter_rows(min_row=5, values_only=True) == [(1, None, "x")]
    ws.append([2])
    assert ws["A6"].value == 2
    ws.append((v for v in (7, 8)))
    assert ws.iter_rows(min_row=7, max_col=2, values_only=True) == [(7, 8)]
    ws.append("ab")
    assert (ws["A8"].value, ws["B8"].value) == ("a", "b")
    ws.append([])
    ws.append(iterable=[3])
    assert ws["A9"].value == 3


def test_append_dicts(ws):
    ws.append({"C": 3})
    assert ws.values == [(None, None, 3)]
    ws.append({})
    ws.append({"a": 1, 2: "two", "B": "bee"})
    assert ws.iter_rows(min_row=2, values_only=True) == [(1, "bee", None)]
    ws.append({"A": 1, 1: 2})
    assert ws["A3"].value == 2
    ws.append({"xfd": "last"})
    assert ws["XFD4"].value == "last"
    ws.append({True: "bool key"})
    assert ws["A5"].value == "bool key"

    class MyDict(dict):
        def items(self):
            raise AssertionError("the dict's own items are used")

    ws.append(MyDict(A="sub"))
    assert ws["A6"].value == "sub"


@pytest.mark.parametrize(
    "row, message",
    [
        ({"A1": 1}, '"A1" is not a valid column'),
        ({"A\n": 1}, '"A\\n" is not a valid column'),
        ({"XFE": 1}, 'column "XFE" (index 16385) exceeds maximum (XFD / 16384)'),
        ({0: 1}, "column index 0 out of bounds; must be >= 1 and <= 16384"),
        ({16385: 1}, "column index 16385 out of bounds; must be >= 1 and <= 16384"),
        ({1.0: 1}, "append dict keys must be column letters or 1-based integers"),
        ({2**64: 1}, "append dict keys must be column letters or 1-based integers"),
    ],
)
def test_append_refused_dict_keys_change_nothing(ws, row, message):
    ws["A1"] = "kept"
    with pytest.raises(ValueError) as exc:
        ws.append({"A": "first", **row})
    assert exc.value.args == (message,)
    assert ws.max_row == 1 and ws.values == [("kept",)]


def test_append_refusals_leave_no_partial_row(ws):
    with pytest.raises(TypeError):
        ws.append(5)
    with pytest.raises(TypeError, match="Unsupported"):
        ws.append([1, 2, object()])

    def failing():
        yield 1
        raise KeyError("boom")

    with pytest.raises(KeyError):
        ws.append(failing())
    assert ws.values == [(None,)]


def test_append_dict_changed_by_a_value_hook(ws):
    class Grow:
        def __init__(self, d):
            self.d = d

        def __float__(self):
            self.d["Z"] = 1
            return 1.0

    d = {"A": None}
    d["A"] = Grow(d)
    with pytest.raises(RuntimeError) as exc:
        ws.append(d)
    assert exc.value.args == ("dictionary changed size during iteration",)
    assert ws.values == [(None,)]


def test_append_list_and_tuple_subclasses_ignore_their_len(ws):
    # The row is sized from the stored items: a __len__ that fails or overstates must not matter.
    class Failing(list):
        def __len__(self):
            raise ValueError("len")

    class Huge(tuple):
        def __len__(self):
            return 2**62

    class Big(list):
        def __len__(self):
            return 10**11

    for row in (Failing([1, 2]), Huge((3, 4)), Big([5, 6])):
        ws.append(row)
    assert ws.values == [(1, 2), (3, 4), (5, 6)]


def test_conversion_hooks_may_use_the_same_sheet(ws):
    # Arguments are converted before the workbook is locked, so a hook calling back in neither
    # deadlocks nor sees a half-made change.
    class Index:
        def __index__(self):
            ws.append(["hook"])
            ws["C1"] = 1
            ws.iter_rows(values_only=True)
            return 1

    class Number:
        def __float__(self):
            ws.append([Index()])
            return 2.5

    def items():
        ws.append(["gen"])
        yield Number()

    ws.append([Index(), Number()])
    ws.append(items())
    ws.append({Index(): Number()})
    ws["D1"] = Number()
    ws.iter_rows(min_row=Index(), max_row=Index(), values_only=True)
    ws.cell(row=Index(), column=Index())
    ws.insert_rows(Index(), Index())
    ws.column_width(Index(), Number())
    assert ws.max_row > 5


def test_long_positional_rows_pass_column_xfd(ws):
    ws.append(list(range(16385)))
    assert ws["XFE1"].value == 16384
