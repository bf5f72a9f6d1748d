"""Fonts and fills through a save: what the model does not read of them rides along, read back
from the saved styles part, and a fill given from Python replaces the cell's own whole."""

import zipfile

import velmo
from package_check import cell_formats, check_package

# One font child the model does not read per row: each underline, superscript and subscript,
# outline, shadow, condense, extend, family, scheme and character set.
FONT_CHILDREN = [
    '<u/>', '<u val="double"/>', '<u val="singleAccounting"/>', '<u val="doubleAccounting"/>',
    '<vertAlign val="superscript"/>', '<vertAlign val="subscript"/>', '<outline/>', '<shadow/>',
    '<condense/>', '<extend val="1"/>', '<family val="3"/>', '<scheme val="major"/>', '<charset val="128"/>',
]

LINEAR = ('<gradientFill degree="90"><stop position="0"><color theme="0"/></stop>'
          '<stop position="1"><color theme="4" tint="-0.249977111117893"/></stop></gradientFill>')
PATH = ('<gradientFill type="path" left="0.2" right="0.8" top="0.5" bottom="0.5"><stop position="0">'
        '<color rgb="FFFFFFFF"/></stop><stop position="1"><color rgb="FF0070C0"/></stop></gradientFill>')


def saved(src, tmp_path, edit_styles, change):
    """Rewrites the source's styles part with `edit_styles`, loads it, lets `change` edit sheet "S"
    and saves: the sheet as loaded, the cell formats of source and copy, and the two styles parts."""
    with zipfile.ZipFile(src) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    with zipfile.ZipFile(src, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            z.writestr(info, edit_styles(data.decode()).encode() if info.filename == "xl/styles.xml" else data)
    wb = velmo.load_workbook(src)
    change(wb["S"])
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    check_package(out)
    parts = [zipfile.ZipFile(p).read("xl/styles.xml").decode() for p in (src, out)]
    return wb["S"], cell_formats(src)[0], cell_formats(out)[0], parts


def test_font_children_survive_a_save(make_xlsx, tmp_path):
    def build(book):
        sheet = book.add_worksheet("S")
        for row in range(len(FONT_CHILDREN)):
            # A twin ahead of each font, equal to it but for the child (its colour made equal below).
            sheet.write(row, 0, "twin", book.add_format({"font_size": 20 + row, "font_color": "#000001"}))
            fmt = book.add_format({"font_size": 20 + row})
            sheet.write(row, 1, "as read", fmt)
            sheet.write(row, 2, "given a fill", fmt)
        sheet.conditional_format("D1", {"type": "cell", "criteria": ">", "value": 1,
                                        "format": book.add_format({"underline": 2, "font_script": 1})})

    def edit(styles):
        # Each row's font gets its one child, in place of the family and scheme every font has.
        styles = styles.replace('<family val="2"/>', "").replace('<scheme val="minor"/>', "")
        for row, child in enumerate(FONT_CHILDREN):
            font = f'<sz val="{20 + row}"/><color theme="1"/>'
            assert styles.count(font) == 1
            styles = styles.replace(font, font + child)
        return styles.replace('<color rgb="FF000001"/>', '<color theme="1"/>')

    def change(ws):
        for row in range(1, len(FONT_CHILDREN) + 1):
            ws.set_cell_fill(f"C{row}", velmo.PatternFill("solid", start_color="FFFFFF00"))

    ws, before, after, (src_part, out_part) = saved(make_xlsx(build), tmp_path, edit, change)
    for row, child in enumerate(FONT_CHILDREN, 1):
        font = before["S", f"B{row}"].font
        assert child[1:].split()[0].rstrip("/>") in [kid[0] for kid in font]
        assert after["S", f"B{row}"].font == font, child
        # The format derived for the fill keeps the font with the child, not its twin.
        assert after["S", f"C{row}"].font == font, child
        assert after["S", f"A{row}"].font == before["S", f"A{row}"].font != font
    # A differential format's font keeps them too.
    dxfs = [part[part.index("<dxfs"):part.index("</dxfs>")] for part in (src_part, out_part)]
    assert '<u val="double"/><vertAlign val="superscript"/>' in dxfs[0] and dxfs[0] == dxfs[1]
    # The views answer as before: nothing of the carried children shows.
    assert (ws["B1"].font.bold, ws["B1"].font.italic, ws["B1"].font.strike) == (False, False, False)


def test_gradients_survive_a_save_and_give_way_to_a_fill_from_python(make_xlsx, tmp_path):
    def build(book):
        sheet = book.add_worksheet("S")
        linear = book.add_format({"pattern": 1, "bg_color": "#FF0000"})
        sheet.write("A1", "linear", linear)
        sheet.write("A2", "path", book.add_format({"pattern": 1, "bg_color": "#00FF00"}))
        sheet.write("B1", "linear, then solid", linear)

    def edit(styles):
        for rgb, gradient in (("FFFF0000", LINEAR), ("FF00FF00", PATH)):
            pattern = f'<patternFill patternType="solid"><fgColor rgb="{rgb}"/><bgColor indexed="64"/></patternFill>'
            assert pattern in styles
            styles = styles.replace(pattern, gradient)
        return styles

    def change(ws):
        # A gradient shows as a fill without pattern colours, as it always did.
        assert [(ws[r].fill.fg_color, ws[r].fill.end_color) for r in ("A1", "A2")] == [(None, None)] * 2
        ws.set_cell_fill("B1", velmo.PatternFill("solid", start_color="FF00B050"))

    ws, before, after, _ = saved(make_xlsx(build), tmp_path, edit, change)
    for ref, kind in (("A1", None), ("A2", "path")):
        gradient = after["S", ref].fill[2][0]
        assert after["S", ref].fill == before["S", ref].fill
        assert gradient[0] == "gradientFill" and dict(gradient[1]).get("type") == kind
    assert after["S", "B1"].fill == ("fill", (), (("patternFill", (("patternType", "solid"),),
                                                    (("fgColor", (("rgb", "FF00B050"),), ()),)),))
