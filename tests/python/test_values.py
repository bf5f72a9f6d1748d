"""Values across the boundary: what each Python object stores and what comes back."""

import datetime as dt
import decimal
import fractions
import gc
import math
import random

import pytest

import velmo


def roundtrip(ws, value):
    ws["A1"] = value
    return ws["A1"].value


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (1, 1),
        (1.0, 1),
        (1.5, 1.5),
        (-0.0, 0),
        ("text", "text"),
        ("", ""),
        (" =A1", " =A1"),
        ("=SUM(A1:A2)", "=SUM(A1:A2)"),
        ("=", "="),
        ("==1", "==1"),
        (-(2**63), -(2**63)),
        (2**53 + 1, 2**53),
        (decimal.Decimal("2.5"), 2.5),
        (fractions.Fraction(1, 4), 0.25),
    ],
)
def test_roundtrip(ws, given, expected):
    got = roundtrip(ws, given)
    assert got == expected and type(got) is type(expected)


def test_integral_results_are_ints_within_64_bits(ws):
    assert type(roundtrip(ws, 2**63)) is float
    assert roundtrip(ws, 2**63) == 2.0**63
    assert type(roundtrip(ws, 1e300)) is float
    assert math.isnan(roundtrip(ws, float("nan")))
    assert roundtrip(ws, float("-inf")) == float("-inf")


def test_index_objects_and_str_subclasses(ws):
    class Idx:
        def __index__(self):
            return 7

    class Text(str):
        pass

    assert roundtrip(ws, Idx()) == 7
    assert roundtrip(ws, Text("=A1")) == "=A1"


@pytest.mark.parametrize("bad", [b"bytes", "\ud800", 10**400, object(), [1], {"a": 1}])
def test_unsupported_values(ws, bad):
    with pytest.raises(TypeError) as exc:
        ws["A1"] = bad
    assert exc.value.args == ("Unsupported Python value type for velmo.Value",)
    assert ws["A1"].value is None


@pytest.mark.parametrize(
    "value",
    [
        dt.date(2024, 2, 29),
        dt.date(1, 1, 1),
        dt.date(9999, 12, 31),
        dt.datetime(2024, 1, 2, 3, 4, 5, 123000),
        dt.time(23, 59, 59, 999000),
        dt.time(0, 0),
        dt.timedelta(days=3, seconds=5, microseconds=250),
        dt.timedelta(days=-1, microseconds=1),
        dt.timedelta(0),
    ],
)
def test_temporal_roundtrip(ws, value):
    got = roundtrip(ws, value)
    assert got == value and type(got) is type(value)


def test_temporal_subclasses_are_accepted(ws):
    class MyDate(dt.date):
        pass

    assert roundtrip(ws, MyDate(2020, 5, 6)) == dt.date(2020, 5, 6)


@pytest.mark.parametrize(
    "value",
    [
        dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc),
        dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2))),
        dt.time(1, 2, tzinfo=dt.timezone.utc),
    ],
)
def test_time_zones_are_refused(ws, value):
    with pytest.raises(ValueError) as exc:
        ws["A1"] = value
    assert exc.value.args == ("Excel does not support timezones in datetimes or times",)


def test_timedelta_range(ws):
    with pytest.raises(OverflowError) as exc:
        ws["A1"] = dt.timedelta.max
    assert exc.value.args == ("timedelta rounds outside Python's supported day range",)
    ws["A1"] = dt.timedelta(days=999_999_999)
    assert ws["A1"].value == dt.timedelta(days=999_999_999)
    ws["A1"] = -dt.timedelta(days=999_999_999)
    assert ws["A1"].value == -dt.timedelta(days=999_999_999)


def test_dates_before_the_serial_epoch_are_refused_by_the_serial_conversion(ws):
    # Year 1 is representable; anything the serial conversion refuses raises its bare message.
    ws["A1"] = dt.datetime(1, 1, 1)
    assert ws["A1"].value == dt.datetime(1, 1, 1)


def test_duck_typed_dates_are_validated(ws):
    class BadDate(dt.date):
        @property
        def month(self):
            return 13

    with pytest.raises(ValueError) as exc:
        ws["A1"] = BadDate(2020, 1, 1)
    assert exc.value.args == ("invalid date",)

    class BadTime(dt.time):
        @property
        def hour(self):
            return 24

    with pytest.raises(ValueError) as exc:
        ws["A1"] = BadTime(1, 0)
    assert exc.value.args == ("invalid time",)


def test_values_only_converts_every_kind(ws):
    row = [1, 2.5, "s", True, None, "=A1", dt.date(2020, 1, 2), dt.time(12, 30), dt.timedelta(hours=1)]
    ws.append(row)
    assert ws.values == [tuple(row)]


def test_rows_of_plain_values_stay_out_of_the_cyclic_collector(ws):
    # Numbers, texts and dates reference nothing, so their rows can be in no cycle: they are left out
    # of the collector's lists from the start and come through a collection whole.
    row = [1, 2.5, "s", True, None, dt.datetime(2020, 1, 2, 3, 4, 5, 6000), dt.date(2020, 1, 2), dt.timedelta(1)]
    for _ in range(3):
        ws.append(row)
    rows = ws.values
    gc.collect()
    assert rows == [tuple(row)] * 3
    assert not any(gc.is_tracked(r) for r in rows)
    assert gc.is_tracked(rows)


def test_values_loaded_from_a_package(make_xlsx):
    def build(book):
        sheet = book.add_worksheet()
        sheet.write_number("A1", 42)
        sheet.write_number("B1", 0.1)
        sheet.write_boolean("C1", True)
        sheet.write_string("D1", "=not a formula")
        sheet.write_formula("E1", "=A1*2", None, 84)
        sheet.write_datetime("A2", dt.date(2024, 3, 1), book.add_format({"num_format": "yyyy-mm-dd"}))
        sheet.write_datetime("B2", dt.datetime(2024, 3, 1, 6, 30), book.add_format({"num_format": "yyyy-mm-dd hh:mm"}))
        sheet.write_datetime("C2", dt.time(6, 30, 15), book.add_format({"num_format": "hh:mm:ss"}))
        sheet.write_number("D2", 1.5, book.add_format({"num_format": "[h]:mm:ss"}))

    ws = velmo.load_workbook(make_xlsx(build)).active
    assert ws.values == [
        (42, 0.1, True, "=not a formula", "=A1*2"),
        (dt.date(2024, 3, 1), dt.datetime(2024, 3, 1, 6, 30), dt.time(6, 30, 15), dt.timedelta(days=1.5), None),
    ]
    assert type(ws["A1"].value) is int



SubDateTime = type("SubDateTime", (dt.datetime,), {})
SubTime = type("SubTime", (dt.time,), {})
US = dt.timedelta(microseconds=1)
EPOCH = dt.datetime(1899, 12, 30)


def to_millis(us):
    """A microsecond count in whole milliseconds, ties to the even one."""
    ms, rest = divmod(us, 1000)
    return ms + (rest > 500 or (rest == 500 and ms % 2))


def random_temporal(rng):
    """A random temporal value (many near the ends of their ranges, some of subclasses) and what a saved
    workbook gives back for it: the value rounded to the millisecond; None when storing it is refused."""
    kind = rng.randrange(4)
    if kind == 0:
        anywhere = dt.datetime.min + rng.randrange((dt.datetime.max - dt.datetime.min) // US) * US
        anchor = rng.choice([dt.datetime.min, EPOCH, dt.datetime.max, anywhere])
        try:
            value = anchor + rng.randint(-3000, 3000) * US
        except OverflowError:
            return random_temporal(rng)
        try:
            saved = EPOCH + to_millis((value - EPOCH) // US) * 1000 * US
        except OverflowError:
            saved = None  # rounds past 9999-12-31 23:59:59.999
        if rng.random() < 0.2:
            value = SubDateTime.combine(value.date(), value.time())
    elif kind == 1:
        days = rng.randrange(-737_000, 2_900_000) // rng.choice([1, 10**5])  # the narrow range repeats days
        value = saved = dt.date(2020, 1, 1) + dt.timedelta(days=days)
    elif kind == 2:
        of_day = rng.choice([rng.randrange(86_400_000_000), 86_400_000_000 - rng.randrange(1, 1000)])
        value = (dt.datetime.min + of_day * US).time()
        saved = (dt.datetime.min + to_millis(of_day) % 86_400_000 * 1000 * US).time()  # 24:00 wraps to 00:00
        if rng.random() < 0.2:
            value = SubTime(value.hour, value.minute, value.second, value.microsecond)
    else:
        value = rng.randrange(-5 * 10**6 * 86_400_000_000, 5 * 10**6 * 86_400_000_000) * US
        saved = to_millis(value // US) * 1000 * US
    if isinstance(saved, dt.date) and (saved.year, saved.month, saved.day) == (1899, 12, 31):
        return random_temporal(rng)  # 1899-12-31 shares its serial with 1899-12-30
    return value, saved


@pytest.mark.parametrize("seed", range(3))
def test_temporal_values_roundtrip_through_append_save_and_load(tmp_path, seed):
    rng = random.Random(seed)
    wb = velmo.Workbook()
    ws = wb.active
    stored, saved = [], []
    for value, after_save in (random_temporal(rng) for _ in range(400)):
        if after_save is None:
            with pytest.raises(ValueError, match="outside the XLSX range"):
                ws.append([value])
        else:
            stored.append(value)
            saved.append(after_save)
    rows = [tuple(stored[i : i + 4]) for i in range(0, len(stored) - 3, 4)]
    for row in rows:
        ws.append(row)
    assert ws.values == rows
    wb.save(str(tmp_path / "t.xlsx"))
    loaded = velmo.load_workbook(str(tmp_path / "t.xlsx")).active
    expected = [tuple(saved[i : i + 4]) for i in range(0, len(saved) - 3, 4)]
    assert loaded.values == expected
    assert [tuple(c.value for c in row) for row in loaded.rows] == expected
