#!/usr/bin/env python3
"""Builds the seed corpus of every fuzz target in a scratch folder: the parts of the Excel
corpus, split per target, and small hand-made packages that reach what real files rarely hold.
Nothing here is committed; the folder is rebuilt at every run."""

import argparse
import hashlib
import io
import os
import sys
import zipfile

MAX_SEED = 128 * 1024
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
OREL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PREL = "http://schemas.openxmlformats.org/package/2006/relationships"
TARGETS = ["zip_archive", "xml_tokenizer", "shared_strings", "styles", "workbook", "sheet_rels",
           "sheet", "table", "comments", "package", "roundtrip", "legacy_drawing", "xml_cell_map"]


class Seeds:
    def __init__(self, out):
        self.out = out
        self.counts = {t: 0 for t in TARGETS}
        for t in TARGETS:
            os.makedirs(os.path.join(out, t), exist_ok=True)

    def add(self, target, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        if not data or len(data) > MAX_SEED:
            return
        name = hashlib.sha1(data).hexdigest()
        path = os.path.join(self.out, target, name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(data)
            self.counts[target] += 1

    def add_package(self, data):
        for t in ("zip_archive", "package", "roundtrip"):
            self.add(t, data)
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
            parts = {i.filename: archive.read(i) for i in archive.infolist() if i.file_size <= MAX_SEED}
        except (zipfile.BadZipFile, OSError, RuntimeError, NotImplementedError, ValueError):
            return
        self.add_parts(parts)

    def add_parts(self, parts):
        for name, content in parts.items():
            if name.endswith((".xml", ".rels", ".vml")) and self.counts["xml_tokenizer"] < 3000:
                self.add("xml_tokenizer", b"\x01" + content)
            if name == "xl/sharedStrings.xml":
                self.add("shared_strings", content)
            elif name == "xl/styles.xml":
                self.add("styles", content)
            elif name == "xl/workbook.xml":
                self.add("workbook", content + b"\0" + parts.get("xl/_rels/workbook.xml.rels", b""))
            elif name.startswith("xl/worksheets/_rels/"):
                self.add("sheet_rels", content)
            elif name.startswith("xl/worksheets/") and name.endswith(".xml"):
                self.add("sheet", b"\0" + content)
            elif name.startswith("xl/tables/"):
                self.add("xml_cell_map" if b"singleXmlCells" in content else "table", content)
            elif name.startswith("xl/comments"):
                self.add("comments", content)
            elif name.endswith(".vml"):
                self.add("legacy_drawing", content)


def ct(parts):
    overrides = "".join(f'<Override PartName="/{p}" ContentType="{c}"/>' for p, c in parts)
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>' + overrides + "</Types>")


def rels(items):
    body = "".join(f'<Relationship Id="{i}" Type="{OREL}/{t}" Target="{g}"{m}/>'
                   for i, t, g, m in items)
    return f'<Relationships xmlns="{PREL}">{body}</Relationships>'


STYLES = (f'<styleSheet xmlns="{MAIN}"><numFmts count="1"><numFmt numFmtId="164" formatCode="yyyy-mm-dd"/></numFmts>'
          '<fonts count="2"><font><sz val="11"/><name val="Calibri"/></font><font><b/><color rgb="FFFF0000"/></font></fonts>'
          '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="solid">'
          '<fgColor theme="4" tint="-0.25"/><bgColor indexed="64"/></patternFill></fill></fills>'
          '<cellXfs count="4"><xf fontId="0" fillId="0" numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164" fontId="1" fillId="1"/>'
          '<xf numFmtId="46"/></cellXfs><dxfs count="1"><dxf><font><i/></font></dxf></dxfs></styleSheet>')

SHEET = (f'<worksheet xmlns="{MAIN}" xmlns:r="{OREL}"><sheetViews><sheetView><pane xSplit="1" ySplit="2" '
         'topLeftCell="B3" state="frozen"/></sheetView></sheetViews><cols><col min="1" max="3" width="12.5" customWidth="1"/></cols>'
         '<sheetData><row r="1" ht="20" customHeight="1"><c r="A1" t="s"><v>0</v></c><c r="B1" s="1"><v>45000</v></c>'
         '<c r="C1" t="inlineStr"><is><t xml:space="preserve"> in line </t></is></c><c r="D1" t="b"><v>1</v></c>'
         '<c r="E1" t="e"><v>#N/A</v></c><c r="F1" t="str"><f>A1&amp;"x"</f><v>ax</v></c></row>'
         '<row r="2"><c r="A2" s="3"><v>1.5</v></c><c r="B2" s="2"><v>45000.25</v></c><c r="C2" t="d"><v>2024-01-02T03:04:05</v></c>'
         '<c r="D2"><f t="shared" ref="D2:E2" si="0">SUM($A2:B2)+Other!A$1</f></c><c r="E2"><f t="shared" si="0"/><v>1</v></c>'
         '<c r="F2"><f t="array" ref="F2:F3">A2:A3*2</f></c></row>'
         '</sheetData><autoFilter ref="A1:F2"/><mergeCells count="1"><mergeCell ref="A3:B4"/></mergeCells>'
         '<conditionalFormatting sqref="A1:A10"><cfRule type="cellIs" dxfId="0" priority="1" operator="between">'
         '<formula>1</formula><formula>5</formula></cfRule><cfRule type="colorScale" priority="2"><colorScale>'
         '<cfvo type="min"/><cfvo type="max"/><color rgb="FFFF0000"/><color rgb="FF00FF00"/></colorScale></cfRule>'
         '</conditionalFormatting><hyperlinks><hyperlink ref="A1" r:id="rId1" tooltip="tip"/><hyperlink ref="B1:C2" '
         'location="Sheet2!A1" display="go"/></hyperlinks><legacyDrawing r:id="rId3"/>'
         '<tableParts count="1"><tablePart r:id="rId2"/></tableParts></worksheet>')

WORKBOOK = (f'<workbook xmlns="{MAIN}" xmlns:r="{OREL}"><workbookPr date1904="0"/><bookViews><workbookView activeTab="1"/>'
            '</bookViews><sheets><sheet name="Data &amp; more" sheetId="1" r:id="rId1"/><sheet name="Second" sheetId="2" r:id="rId2"/>'
            '</sheets><definedNames><definedName name="_xlnm.Print_Area" localSheetId="0">\'Data &amp; more\'!$A$1:$C$3</definedName>'
            '<definedName name="_xlnm.Print_Titles" localSheetId="1">Second!$1:$2,Second!$A:$B</definedName>'
            '<definedName name="Total" comment="c">Second!$B$2</definedName><definedName name="Local" localSheetId="1" hidden="1">1</definedName>'
            '<definedName name="_xlnm._FilterDatabase" localSheetId="0" hidden="1">\'Data &amp; more\'!$A$1:$F$2</definedName>'
            '</definedNames></workbook>')

SST = (f'<sst xmlns="{MAIN}" count="3" uniqueCount="3"><si><t>alpha</t></si><si><r><rPr><b/></rPr><t xml:space="preserve">be </t></r>'
       '<r><t>ta</t></r><rPh sb="0" eb="1"><t>ignored</t></rPh></si><si><t><![CDATA[<gamma>]]></t></si></sst>')

TABLE = (f'<table xmlns="{MAIN}" id="1" name="Table1" displayName="Table1" ref="A1:C3" headerRowCount="1"><autoFilter ref="A1:C3"/>'
         '<tableColumns count="3"><tableColumn id="1" name="a"/><tableColumn id="2" name="b &amp; c"/><tableColumn id="3" name="d"/>'
         '</tableColumns><tableStyleInfo name="TableStyleMedium2" showFirstColumn="0" showLastColumn="0" showRowStripes="1" '
         'showColumnStripes="0"/></table>')

COMMENTS = (f'<comments xmlns="{MAIN}"><authors><author>Ann</author><author>Bob</author></authors><commentList>'
            '<comment ref="A1" authorId="1"><text><r><rPr><b/></rPr><t>Bob:</t></r><r><t xml:space="preserve"> note</t></r></text></comment>'
            '<comment ref="B2" authorId="0"><text><t>plain</t></text></comment></commentList></comments>')

# Notes on A1 and B2 beside a button, as a desktop application writes them: no declaration, an
# open <br> in a text box.
VML = ('<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:o="urn:schemas-microsoft-com:office:office" '
       'xmlns:x="urn:schemas-microsoft-com:office:excel"><o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="1"/>'
       '</o:shapelayout><v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202"><v:stroke joinstyle="miter"/>'
       '</v:shapetype><v:shapetype id="_x0000_t201" o:spt="201"/><v:shape id="_x0000_s1025" type="#_x0000_t201" '
       'o:button="t"><v:textbox><div style=\'text-align:center\'>Go<br></div></v:textbox><x:ClientData ObjectType="Button">'
       '<x:Anchor>3, 0, 1, 0, 4, 0, 2, 0</x:Anchor><x:FmlaMacro>[0]!Go</x:FmlaMacro></x:ClientData></v:shape>'
       + "".join(f'<v:shape id="_x0000_s{1026 + i}" type="#_x0000_t202" style=\'visibility:visible\' fillcolor="#ccffcc">'
                 f'<x:ClientData ObjectType="Note"><x:Anchor>\n {i + 1}, 15, {i}, 2, {i + 3}, 15, {i + 4}, 4</x:Anchor>'
                 f'<x:Row>{i}</x:Row><x:Column>{i}</x:Column><x:Visible/></x:ClientData></v:shape>' for i in range(2))
       + '</xml>')

SHEET_RELS = rels([("rId1", "hyperlink", "https://example.com/a?b&amp;c", ' TargetMode="External"'),
                   ("rId2", "table", "../tables/table1.xml", ""),
                   ("rId3", "vmlDrawing", "../drawings/vmlDrawing1.vml", ""),
                   ("rId4", "comments", "/xl/comments1.xml", ""),
                   ("rId5", "pivotTable", "../pivotTables/pivotTable1.xml", "")])

PIVOT = (f'<pivotTableDefinition xmlns="{MAIN}" name="Pivot_x0031_" cacheId="1"><location ref="H1:I4" firstHeaderRow="1" '
         'firstDataRow="1" firstDataCol="1"/><pivotFields count="1"><pivotField showAll="0"/></pivotFields></pivotTableDefinition>')


def full_parts():
    return {
        "[Content_Types].xml": ct([("xl/workbook.xml", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml")]),
        "_rels/.rels": rels([("rId1", "officeDocument", "xl/workbook.xml", "")]),
        "xl/workbook.xml": WORKBOOK,
        "xl/_rels/workbook.xml.rels": rels([("rId1", "worksheet", "worksheets/sheet1.xml", ""),
                                            ("rId2", "worksheet", "/xl/worksheets/sheet2.xml", ""),
                                            ("rId3", "styles", "styles.xml", ""),
                                            ("rId4", "sharedStrings", "sharedStrings.xml", "")]),
        "xl/styles.xml": STYLES,
        "xl/sharedStrings.xml": SST,
        "xl/worksheets/sheet1.xml": SHEET,
        "xl/worksheets/sheet2.xml": f'<worksheet xmlns="{MAIN}"><sheetData/></worksheet>',
        "xl/worksheets/_rels/sheet1.xml.rels": SHEET_RELS,
        "xl/tables/table1.xml": TABLE,
        "xl/comments1.xml": COMMENTS,
        "xl/pivotTables/pivotTable1.xml": PIVOT,
        "xl/drawings/vmlDrawing1.vml": VML,
        "docProps/app.xml": "<Properties/>",
    }


def package(parts, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, content in parts.items():
            z.writestr(zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0)), content, compress_type=method)
    return buf.getvalue()


def hand_made(seeds):
    parts = full_parts()
    seeds.add_parts({k: v.encode() for k, v in parts.items()})
    seeds.add_package(package(parts))
    seeds.add_package(package(parts, zipfile.ZIP_STORED))
    minimal = {k: parts[k] for k in ("xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/styles.xml")}
    minimal["xl/workbook.xml"] = f'<workbook xmlns="{MAIN}" xmlns:r="{OREL}"><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>'
    minimal["xl/worksheets/sheet1.xml"] = f'<worksheet xmlns="{MAIN}"><sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>'
    seeds.add_package(package(minimal))
    seeds.add_package(package(minimal, zipfile.ZIP_STORED))
    # Prefixed names and the strict namespace.
    strict = dict(minimal)
    strict["xl/worksheets/sheet1.xml"] = ('<x:worksheet xmlns:x="http://purl.oclc.org/ooxml/spreadsheetml/main"><x:sheetData>'
                                          '<x:row r="1"><x:c r="A1" t="inlineStr"><x:is><x:t>s</x:t></x:is></x:c></x:row></x:sheetData></x:worksheet>')
    seeds.add_package(package(strict))
    # ZIP64 records.
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as z:
        for name, content in minimal.items():
            with z.open(zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0)), "w", force_zip64=True) as f:
                f.write(content.encode())
    seeds.add_package(buf.getvalue())

    # The same records spelled otherwise: inside nested alternatives, under other prefixes, a
    # prefixed content types root, an element named by a prefix alone.
    mc = "http://schemas.openxmlformats.org/markup-compatibility/2006"

    def alt(inner, depth=2):
        for level in range(depth):
            inner = (f'<mc:AlternateContent xmlns:mc="{mc}"><mc:Choice Requires="{"e" if level else "x"}">{inner if not level else ""}'
                     f'</mc:Choice><mc:Fallback>{inner if level else "<x:dummy/>"}</mc:Fallback></mc:AlternateContent>')
        return inner

    ns = f'xmlns="{MAIN}" xmlns:x="{MAIN}" xmlns:e="urn:e"'
    spelled = dict(minimal)
    spelled["[Content_Types].xml"] = ct([]).replace("<Types", '<ct:Types').replace("</Types", "</ct:Types").replace(
        'xmlns="http', 'xmlns:ct="http').replace("<Default", "<ct:Default")
    spelled["xl/workbook.xml"] = (f'<workbook {ns} xmlns:rel="{OREL}">' + alt('<sheets><sheet name="S" sheetId="1" rel:id="rId1"/></sheets>') + "</workbook>")
    spelled["xl/styles.xml"] = (f'<styleSheet {ns}><fonts count="2">' + alt('<font><b/><x: odd="1"/></font><font><x:i/></font>') +
                                '</fonts><cellXfs count="2"><xf/>' + alt('<xf fontId="1"/>', 1) + "</cellXfs></styleSheet>")
    spelled["xl/sharedStrings.xml"] = f'<sst {ns}>' + alt("<si><t>a</t></si><x:si><x:t>b</x:t></x:si>") + "</sst>"
    spelled["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"]
    spelled["xl/worksheets/sheet1.xml"] = (f'<worksheet {ns}>' + alt('<sheetData><row r="1">' + alt('<c r="A1" t="s"><v>1</v></c>', 1) +
                                           '</row></sheetData>', 3) + "</worksheet>")
    spelled["xl/comments1.xml"] = (f'<comments {ns}><authors>' + alt("<author>A</author>") + '</authors><commentList>' +
                                   alt('<comment ref="A1" authorId="0"><text><t>n</t></text></comment>') + "</commentList></comments>")
    seeds.add_package(package(spelled))

    # Cells bound to an XML map: the desktop application's form, prefixed, and odd references.
    for refs, prefix in ((["A2", "B2", "D3"], ""), (["b3", "&#67;4"], "x:"), (["A1048576", "XFD1", "A0"], "")):
        seeds.add("xml_cell_map", f'<{prefix}singleXmlCells xmlns{":x" if prefix else ""}="{MAIN}">' + "".join(
            f'<{prefix}singleXmlCell id="{i}" r="{r}" connectionId="0"><{prefix}xmlCellPr id="1"><{prefix}xmlPr mapId="1" '
            f'xpath="/a/b{i}" xmlDataType="string"/></{prefix}xmlCellPr></{prefix}singleXmlCell>' for i, r in enumerate(refs, 1))
            + f"</{prefix}singleXmlCells>")

    for doc in [
        '<?xml version="1.0"?><!DOCTYPE a [<!ENTITY x "y"><!ENTITY z "&x;&x;">]><a>&z;</a>',
        '<a><!-- c --><?pi x?><![CDATA[<b>]]>&#x41;&#65;&amp;<b c=\'d\' e="&lt;"/></a>',
        '<a:b xmlns:a="u"><a:c/></a:b>',
        '<a>\r\n  text  \t</a>',
        '<a b="1" b="2"/>',
        '<a><b></a></b>',
    ]:
        seeds.add("xml_tokenizer", b"\x00" + doc.encode())
        seeds.add("xml_tokenizer", b"\x03" + doc.encode())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--excel", action="append", default=[], help="a folder of .xlsx files to split into seeds (repeatable)")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    seeds = Seeds(args.out)
    hand_made(seeds)
    for folder in args.excel:
        if not os.path.isdir(folder):
            print(f"no corpus at {folder}: skipped", file=sys.stderr)
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and os.path.getsize(path) <= MAX_SEED:
                with open(path, "rb") as f:
                    seeds.add_package(f.read())
    print("seeds: " + ", ".join(f"{t} {n}" for t, n in seeds.counts.items()))


if __name__ == "__main__":
    main()
