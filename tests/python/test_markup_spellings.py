"""A part means the same whatever its markup spelling: records inside alternatives nested to any
depth, a relationships prefix other than "r", a prefixed content types root, an element named by a
prefix alone. Each package is loaded, edited so that the save adds a part, saved and read back."""

import re
import zipfile

import pytest
from python_calamine import CalamineWorkbook

import velmo
from package_check import check_package

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG = "http://schemas.openxmlformats.org/package/2006/relationships"
CT = "http://schemas.openxmlformats.org/package/2006/content-types"
MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml."
# "x" names the main namespace, which a reader understands; "e" an extension, which it does not.
ROOT_NS = f'xmlns="{MAIN}" xmlns:x="{MAIN}" xmlns:e="urn:e"'
SHEETS = 6  # more than the scopes open around a sheet list in one alternative


def wrap(inner, depth, branch, decoy):
    """`inner` inside `depth` nested alternatives, in the branch a reader takes; the other branch
    of the innermost holds `decoy`, which must never be read, and the outer ones hold nothing, so
    that only the innermost shows what the alternatives hold."""
    for level in range(depth):
        other = decoy if level == 0 else ""
        choice, fallback = (inner, other) if branch == "choice" else (other, inner)
        inner = (f'<mc:AlternateContent xmlns:mc="{MC}"><mc:Choice Requires="{"x" if branch == "choice" else "e"}">'
                 f"{choice}</mc:Choice><mc:Fallback>{fallback}</mc:Fallback></mc:AlternateContent>")
    return inner


def build(path, what, depth, branch, rp, ct):
    def at(name, inner, decoy):
        return wrap(inner, depth, branch, decoy) if what == name else inner

    sheet_list = "".join(f'<sheet name="S{i}" sheetId="{i}" {rp}:id="rId{i}"/>' for i in range(1, SHEETS + 1))
    workbook = (f'<workbook {ROOT_NS} xmlns:{rp}="{REL}">'
                + at("sheets", f"<sheets>{sheet_list}</sheets>", f'<sheets><sheet name="D" sheetId="9" {rp}:id="rId1"/></sheets>')
                + "</workbook>")
    fonts = at("fonts", '<font><sz val="11"/></font><font><b/><x: odd="1"/></font>', "<font><i/></font>" * 2)
    styles = (f'<styleSheet {ROOT_NS}><fonts count="2">{fonts}</fonts><fills count="1"><fill/></fills>'
              '<cellXfs count="2"><xf/><xf fontId="1"/></cellXfs></styleSheet>')
    strings = f'<sst {ROOT_NS}>' + at("strings", "<si><t>hello</t></si>", "<si><t>decoy</t></si>") + "</sst>"
    note = '<comment ref="A1" authorId="0"><text><t>note</t></text></comment>'
    comments = (f'<comments {ROOT_NS}><authors><author>me</author></authors><commentList>'
                + at("notes", note, note.replace(">note<", ">decoy<")) + "</commentList></comments>")

    def rel(rid, kind, target):
        return f'<Relationship Id="{rid}" Type="{REL}/{kind}" Target="{target}"/>'

    def declare(name, kind):
        return f'<{ct}Override PartName="/{name}" ContentType="{TYPE}{kind}+xml"/>'

    parts = {
        "_rels/.rels": f'<Relationships xmlns="{PKG}">{rel("rId1", "officeDocument", "xl/workbook.xml")}</Relationships>',
        "xl/workbook.xml": workbook,
        "xl/_rels/workbook.xml.rels": f'<Relationships xmlns="{PKG}">'
        + "".join(rel(f"rId{i}", "worksheet", f"worksheets/sheet{i}.xml") for i in range(1, SHEETS + 1))
        + rel("rId98", "styles", "styles.xml") + rel("rId99", "sharedStrings", "sharedStrings.xml") + "</Relationships>",
        "xl/styles.xml": styles,
        "xl/sharedStrings.xml": strings,
        "xl/comments1.xml": comments,
        "xl/worksheets/_rels/sheet1.xml.rels": f'<Relationships xmlns="{PKG}">{rel("rId1", "comments", "../comments1.xml")}</Relationships>',
    }
    for i in range(1, SHEETS + 1):
        cells = at("cells", f'<c r="A1" s="1" t="s"><v>0</v></c><c r="B1"><v>{i}</v></c>', '<c r="A1"><v>999</v></c><c r="B1"><v>999</v></c>')
        data = at("sheetData", f'<sheetData><row r="1">{cells}</row></sheetData>', '<sheetData><row r="1"><c r="C1"><v>9</v></c></row></sheetData>')
        parts[f"xl/worksheets/sheet{i}.xml"] = f"<worksheet {ROOT_NS}>{data}</worksheet>"
    types = (f'<{ct}Types xmlns{":" + ct[:-1] if ct else ""}="{CT}">'
             f'<{ct}Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
             f'<{ct}Default Extension="xml" ContentType="application/xml"/>'
             + declare("xl/workbook.xml", "sheet.main") + declare("xl/styles.xml", "styles")
             + declare("xl/sharedStrings.xml", "sharedStrings") + declare("xl/comments1.xml", "comments")
             + "".join(declare(f"xl/worksheets/sheet{i}.xml", "worksheet") for i in range(1, SHEETS + 1)) + f"</{ct}Types>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", types)
        for name, data in parts.items():
            z.writestr(name, data)
    return str(path)


def assert_reads_as_written(wb):
    assert wb.sheetnames == [f"S{i}" for i in range(1, SHEETS + 1)]
    for i, ws in enumerate(wb.worksheets, 1):
        assert (ws["A1"].value, ws["B1"].value, ws["C1"].value) == ("hello", i, None)
        assert (ws["A1"].font.bold, ws["A1"].font.italic) == (True, False)
    assert wb.worksheets[0]["A1"].comment.text == "note"


CASES = [(what, depth, branch) for what in ("sheets", "sheetData", "cells", "fonts", "strings", "notes")
         for depth in (1, 2, 50) for branch in ("choice", "fallback")]


@pytest.mark.parametrize("what,depth,branch", CASES)
def test_records_in_alternatives_read_once_and_save_whole(tmp_path, what, depth, branch):
    n = CASES.index((what, depth, branch))
    # Both relationships prefixes and both content types roots, across the branches and depths of each part.
    rp, ct = ("r", "rel")[n % 2], ("", "ct:")[n // 2 % 2]
    wb = velmo.load_workbook(build(tmp_path / "src.xlsx", what, depth, branch, rp, ct))
    assert_reads_as_written(wb)
    wb.worksheets[1].set_cell_comment("C3", "added", "me")  # a part the content types must declare
    out = str(tmp_path / "out.xlsx")
    wb.save(out)
    check_package(out)
    with zipfile.ZipFile(out) as z:
        assert re.search(rb'<font><b/><x: [^<>]*odd="1"/></font>', z.read("xl/styles.xml"))
    book = CalamineWorkbook.from_path(out)
    assert book.sheet_names == wb.sheetnames
    assert [book.get_sheet_by_name(n).to_python() for n in book.sheet_names] == [[["hello", float(i)]] for i in range(1, SHEETS + 1)]
    again = velmo.load_workbook(out)
    assert_reads_as_written(again)
    assert again.worksheets[1]["C3"].comment.text == "added"
