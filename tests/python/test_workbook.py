"""The Workbook class, title lookup and the workbook lock's refusals seen from Python."""

import pytest

import velmo


@pytest.mark.parametrize("title", ["sheet", "Sheet ", " Sheet", ""])
def test_subscript_matches_titles_exactly(title):
    with pytest.raises(KeyError) as exc:
        velmo.Workbook()[title]
    assert exc.value.args == (title,)


def test_subscript_and_constructor_arguments():
    with pytest.raises(TypeError, match="argument 'title'"):
        velmo.Workbook()[0]
    with pytest.raises(TypeError):
        velmo.Workbook(1)
    with pytest.raises(TypeError):
        velmo.Workbook(x=1)


def test_load_workbook_reads_titles_in_order(make_xlsx):
    path = make_xlsx(lambda b: [b.add_worksheet(t) for t in ("One", "Two", "Three")])
    wb = velmo.load_workbook(path)
    assert wb.sheetnames == ["One", "Two", "Three"]
    assert [ws.title for ws in wb.worksheets] == ["One", "Two", "Three"]
    assert wb.active.title == "One"
    assert wb["Two"].title == "Two"


def test_active_follows_the_active_tab(make_xlsx):
    def build(book):
        book.add_worksheet("One")
        book.add_worksheet("Two").activate()

    assert velmo.load_workbook(make_xlsx(build)).active.title == "Two"


def test_load_workbook_path_argument(tmp_path, make_xlsx):
    import pathlib

    assert velmo.load_workbook(path=make_xlsx(lambda b: b.add_worksheet())).sheetnames == ["Sheet1"]
    with pytest.raises(TypeError, match="argument 'path'"):
        velmo.load_workbook(pathlib.Path(tmp_path / "x.xlsx"))
    with pytest.raises(TypeError, match="argument 'path'"):
        velmo.load_workbook(b"x.xlsx")
    with pytest.raises(UnicodeEncodeError):
        velmo.load_workbook("\ud800.xlsx")
    with pytest.raises(TypeError):
        velmo.load_workbook()


def edit_workbook_part(path, edit):
    """Rewrites the workbook part's bytes with edit(bytes)."""
    import zipfile

    with zipfile.ZipFile(path) as src:
        entries = [(info, src.read(info)) for info in src.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as dst:
        for info, data in entries:
            dst.writestr(info, edit(data) if info.filename == "xl/workbook.xml" else data)


def test_active_is_the_sheet_at_the_active_index_even_with_a_shared_title(make_xlsx):
    def build(book):
        book.add_worksheet("A").write("A1", "first")
        second = book.add_worksheet("B")
        second.write("A1", "second")
        second.activate()

    path = make_xlsx(build)
    edit_workbook_part(path, lambda d: d.replace(b'name="B"', b'name="A"'))  # XlsxWriter refuses duplicates
    wb = velmo.load_workbook(path)
    assert wb.sheetnames == ["A", "A"]
    assert wb.active["A1"].value == "second"
    assert wb["A"]["A1"].value == "first"


def test_active_is_none_when_the_active_tab_names_no_worksheet(make_xlsx):
    import re

    def build(book):
        book.add_worksheet("One")
        book.add_worksheet("Two").activate()

    past = make_xlsx(build)
    edit_workbook_part(past, lambda d: d.replace(b'activeTab="1"', b'activeTab="5"'))
    wb = velmo.load_workbook(past)
    assert wb.active is None
    assert wb.sheetnames == ["One", "Two"]

    empty = make_xlsx(build)
    edit_workbook_part(empty, lambda d: re.sub(rb"<sheets>.*</sheets>", b"<sheets/>", d))
    wb = velmo.load_workbook(empty)
    assert wb.active is None
    assert wb.sheetnames == [] and wb.worksheets == []
