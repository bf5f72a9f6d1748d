"""Cell, Comment and Hyperlink snapshots, and the Font, Fill, PatternFill and Color views."""

import pytest

import velmo
from package_check import rewrite_entries


# ---- cells from a package ----

def test_loaded_fonts_and_fills(styled_path):
    ws = velmo.load_workbook(styled_path)["Styled"]
    font = ws["A1"].font
    assert (font.bold, font.italic, font.strike) == (True, True, True)
    assert font.color.rgb == "FFFF0000"
    assert (font.color.indexed, font.color.theme, font.color.tint) == (None, None, None)
    fill = ws["B1"].fill
    assert fill.fg_color.rgb == "FF00FF00" and fill.start_color.rgb == "FF00FF00"
    plain = ws["C1"]
    assert plain.font.bold is False
    assert plain.fill.fg_color is None and plain.fill.end_color is None


def patch_part(path, name, old, new):
    def patch(data):
        assert old.encode() in data
        return data.replace(old.encode(), new.encode(), 1)

    rewrite_entries(path, {name: patch})


def test_colour_variants(make_xlsx):
    def build(book):
        sheet = book.add_worksheet()
        sheet.write("A1", "theme")
        sheet.write("B1", "rgb", book.add_format({"font_color": "#123456"}))

    path = make_xlsx(build)
    ws = velmo.load_workbook(path).active
    theme = ws["A1"].font.color
    assert (theme.rgb, theme.indexed, theme.theme, theme.tint) == (None, None, 1, None)

    patch_part(path, "xl/styles.xml", '<color theme="1"/>', '<color theme="4" tint="-0.25"/>')
    patch_part(path, "xl/styles.xml", '<color rgb="FF123456"/>', '<color indexed="10"/>')
    ws = velmo.load_workbook(path).active
    tinted = ws["A1"].font.color
    assert (tinted.rgb, tinted.indexed, tinted.theme, tinted.tint) == (None, None, 4, -0.25)
    indexed = ws["B1"].font.color
    assert (indexed.rgb, indexed.indexed, indexed.theme, indexed.tint) == (None, 10, None, None)


def test_loaded_comment_and_hyperlinks(styled_path):
    ws = velmo.load_workbook(styled_path)["Styled"]
    comment = ws["A1"].comment
    assert (comment.text, comment.author) == ("a note", "Ann")
    assert ws["A1"].comment is not comment
    external, internal = ws["A2"].hyperlink, ws["A3"].hyperlink
    assert (external.target, external.tooltip) == ("https://example.com/", "Go there")
    assert (internal.target, internal.location) == (None, "'Styled'!C1")


def test_snapshots_outlive_the_workbook(styled_path):
    cell = velmo.load_workbook(styled_path)["Styled"]["A1"]
    import gc

    gc.collect()
    assert cell.value == "bold" and cell.font.bold


# ---- cells made through the API ----

def test_own_fill_shows_ahead_of_the_style_sheet(styled_path):
    ws = velmo.load_workbook(styled_path)["Styled"]
    ws.set_cell_fill("B1", velmo.PatternFill("solid", start_color="FF0000FF"))
    assert ws["B1"].fill.fg_color.rgb == "FF0000FF"
    assert ws["B1"].value == "filled"
    assert ws["A1"].fill.fg_color is None  # untouched cells keep their style's fill


def test_later_changes_do_not_reach_a_snapshot(ws):
    ws["A1"] = 1
    snap = ws["A1"]
    ws.set_cell_comment("A1", "later", "me")
    ws["A1"] = 2
    assert snap.value == 1 and snap.comment is None


# ---- PatternFill ----

@pytest.mark.parametrize(
    "kwargs, fill_type",
    [
        ({"fill_type": "solid", "patternType": "gray125"}, "solid"),
        ({"patternType": "solid"}, "solid"),
        ({"fill_type": "none"}, None),
        ({"fill_type": ""}, ""),
        ({"fill_type": "NONE"}, "NONE"),
        ({"fill_type": None, "patternType": "darkGrid"}, "darkGrid"),
    ],
)
def test_pattern_fill_type(kwargs, fill_type):
    f = velmo.PatternFill(**kwargs)
    assert f.fill_type == fill_type and f.patternType == fill_type


def test_pattern_fill_colours():
    f = velmo.PatternFill(fgColor="FF00FF00", start_color="FFFF0000")
    assert f.fgColor.rgb == "FFFF0000" and f.start_color.rgb == "FFFF0000"
    g = velmo.PatternFill(bgColor="red")
    assert g.end_color.rgb == "red" and g.bgColor.rgb == "red" and g.fgColor is None
    c = g.end_color
    assert (c.indexed, c.theme, c.tint) == (None, None, None)
    assert g.end_color is not c
    h = velmo.PatternFill(None, None, None, None, "FF000000", "solid")
    assert (h.fill_type, h.end_color.rgb) == ("solid", "FF000000")


def test_pattern_fill_arguments():
    with pytest.raises(TypeError, match="argument 'start_color'"):
        velmo.PatternFill(start_color=1)
    with pytest.raises(TypeError):
        velmo.PatternFill(border="thin")
    with pytest.raises(TypeError):
        velmo.PatternFill(*["x"] * 7)
    with pytest.raises(AttributeError):
        velmo.PatternFill().fill_type = "solid"
