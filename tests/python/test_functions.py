"""Column letters and data frame rows."""

import pytest

import velmo


@pytest.mark.parametrize(
    "idx, letters",
    [(1, "A"), (26, "Z"), (27, "AA"), (52, "AZ"), (53, "BA"), (702, "ZZ"), (703, "AAA"), (16384, "XFD"),
     (16385, "XFE"), (4294967295, "MWLQKWU")],
)
def test_column_letters_both_ways(idx, letters):
    assert velmo.get_column_letter(idx) == letters
    assert velmo.column_index_from_string(letters) == idx
    assert velmo.column_index_from_string(letters.lower()) == idx


def test_get_column_letter_refusals():
    with pytest.raises(ValueError) as exc:
        velmo.get_column_letter(0)
    assert exc.value.args == ("Column index out of bounds: 0",)
    with pytest.raises(OverflowError):
        velmo.get_column_letter(-1)
    with pytest.raises(OverflowError):
        velmo.get_column_letter(2**32)
    with pytest.raises(TypeError, match="argument 'idx'"):
        velmo.get_column_letter(2.0)


@pytest.mark.parametrize("text", ["", "A1", "$A", "A B", "MWLQKWV", "AAAAAAAAAAAAAAAAAAAA", "É"])
def test_column_index_refusals(text):
    with pytest.raises(ValueError) as exc:
        velmo.column_index_from_string(text)
    assert exc.value.args == (f'"{text}" is not a valid column',)


class Labels:
    def __init__(self, values, names, nlevels=1):
        self.values, self.names, self.nlevels = values, names, nlevels

    def __iter__(self):
        return iter(self.values)


class Frame:
    def __init__(self, columns, index, rows):
        self.columns, self.index, self.rows = columns, index, rows

    def itertuples(self, index):
        assert index is False
        return iter(self.rows)


def frame():
    return Frame(Labels(["a", "b"], [None]), Labels([10, 11], ["k"]), [(1, 2), (3, 4)])


def test_dataframe_to_rows():
    assert velmo.dataframe_to_rows(frame()) == [[None, "a", "b"], ["k"], [10, 1, 2], [11, 3, 4]]
    assert velmo.dataframe_to_rows(frame(), index=False) == [["a", "b"], [1, 2], [3, 4]]
    assert velmo.dataframe_to_rows(frame(), header=False) == [["k"], [10, 1, 2], [11, 3, 4]]
    assert velmo.dataframe_to_rows(frame(), False, False) == [[1, 2], [3, 4]]


def test_dataframe_to_rows_edges():
    short = frame()
    short.index.values = [10]
    assert velmo.dataframe_to_rows(short, header=False) == [["k"], [10, 1, 2]]
    multi = frame()
    multi.columns.nlevels = 2
    with pytest.raises(NotImplementedError):
        velmo.dataframe_to_rows(multi)
    with pytest.raises(AttributeError):
        velmo.dataframe_to_rows(object())
    with pytest.raises(TypeError, match="argument 'index'"):
        velmo.dataframe_to_rows(frame(), index=None)


def test_dataframe_rows_append():
    ws = velmo.Workbook().active
    for row in velmo.dataframe_to_rows(frame()):
        ws.append(row)
    assert ws.values == [(None, "a", "b"), ("k", None, None), (10, 1, 2), (11, 3, 4)]
