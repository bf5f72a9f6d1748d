import pathlib

import pytest
import xlsxwriter

import velmo


@pytest.fixture
def ws():
    """The one worksheet of a new workbook."""
    return velmo.Workbook().active


@pytest.fixture
def make_xlsx(tmp_path):
    """Builds a workbook with XlsxWriter: build(workbook) fills it; returns the path as str."""
    counter = iter(range(1_000_000))

    def make(build, name=None):
        path = tmp_path / (name or f"book{next(counter)}.xlsx")
        book = xlsxwriter.Workbook(str(path))
        build(book)
        book.close()
        return str(path)

    return make


@pytest.fixture
def styled_path(make_xlsx):
    """One sheet "Styled" with fonts, fills, a comment and hyperlinks of every kind."""

    def build(book):
        sheet = book.add_worksheet("Styled")
        red_bold = book.add_format({"bold": True, "italic": True, "font_strikeout": True, "font_color": "#FF0000"})
        green_fill = book.add_format({"bg_color": "#00FF00", "pattern": 1})
        sheet.write("A1", "bold", red_bold)
        sheet.write("B1", "filled", green_fill)
        sheet.write("C1", "plain")
        sheet.write_comment("A1", "a note", {"author": "Ann"})
        sheet.write_url("A2", "https://example.com/", string="Example", tip="Go there")
        sheet.write_url("A3", "internal:'Styled'!C1", string="Back")

    return make_xlsx(build)
