"""Structural checks of a saved package, shared by every save test.

check_package(path) raises AssertionError listing every problem found:
- every XML part (.xml, .rels, .vml) is well-formed;
- every part has exactly one content type (one Override, or else one Default for its extension),
  and no Override names a part the package lacks;
- every internal relationship target exists, and ids are unique within a relationships part;
- every r:id that the workbook part or a worksheet part uses names one of its relationships.
"""

import collections
import io
import posixpath
import re
import urllib.parse
import xml.parsers.expat
import zipfile
from xml.etree import ElementTree

CT_NS = "{http://schemas.openxmlformats.org/package/2006/content-types}"
REL_NS = "{http://schemas.openxmlformats.org/package/2006/relationships}"
R_ID = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id"

XML_SUFFIXES = (".xml", ".rels", ".vml")


def _part_key(name):
    """Part names compare without the leading slash, with %XX decoded and ASCII case ignored."""
    return urllib.parse.unquote(name.lstrip("/")).lower()


def _well_formed(data):
    parser = xml.parsers.expat.ParserCreate()
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as e:
        return str(e)
    return None


def _source_of_rels(rels_name):
    """"xl/_rels/workbook.xml.rels" -> "xl/workbook.xml"; "_rels/.rels" -> ""."""
    folder, base = posixpath.split(rels_name)
    parent = posixpath.dirname(folder)
    return posixpath.join(parent, base[: -len(".rels")]) if base != ".rels" else ""


def _resolve(source_part, target):
    target = urllib.parse.unquote(target.split("#", 1)[0])
    if target.startswith("/"):
        return posixpath.normpath(target.lstrip("/"))
    base = posixpath.dirname(source_part)
    return posixpath.normpath(posixpath.join(base, target)).lstrip("/")


def sheet_parts(z):
    """Sheet name -> the entry of its part, for each sheet whose relationship reaches an entry of `z`."""
    entries = {_part_key(n): n for n in z.namelist()}
    rels = {r.get("Id"): r.get("Target") for r in ElementTree.fromstring(z.read("xl/_rels/workbook.xml.rels"))}
    out = {}
    for sheet in ElementTree.fromstring(z.read("xl/workbook.xml")).iter():
        if _local(sheet.tag) == "sheet" and sheet.get(R_ID) in rels:
            name = entries.get(_part_key(_resolve("xl/workbook.xml", rels[sheet.get(R_ID)])))
            if name is not None:
                out[sheet.get("name")] = name
    return out


def package_problems(path):
    problems = []
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        names = [i.filename for i in infos]
        if len(set(names)) != len(names):
            problems.append("duplicate entry names")
        elif len({_part_key(n) for n in names}) != len(names):
            problems.append("entries naming one part")
        parts = {n: z.read(n) for n in names if not n.endswith("/")}

    keys = {_part_key(n): n for n in parts}

    for name, data in parts.items():
        if name.lower().endswith(XML_SUFFIXES):
            err = _well_formed(data)
            if err:
                problems.append(f"{name}: not well-formed: {err}")

    # Content types.
    ct = parts.get("[Content_Types].xml")
    if ct is None:
        problems.append("no [Content_Types].xml")
    elif not _well_formed(ct):
        root = ElementTree.fromstring(ct)
        defaults = {}
        overrides = {}
        for el in root:
            if el.tag == CT_NS + "Default":
                ext = el.get("Extension", "").lower()
                if ext in defaults:
                    problems.append(f"content types: Default {ext} declared twice")
                defaults[ext] = el.get("ContentType")
            elif el.tag == CT_NS + "Override":
                key = _part_key(el.get("PartName", ""))
                if key in overrides:
                    problems.append(f"content types: {el.get('PartName')} declared twice")
                overrides[key] = el.get("ContentType")
                if key not in keys:
                    problems.append(f"content types: Override names missing part {el.get('PartName')}")
        for name in parts:
            if name == "[Content_Types].xml":
                continue
            base = posixpath.basename(name)
            ext = base.rpartition(".")[2].lower() if "." in base else ""
            if _part_key(name) not in overrides and ext not in defaults:
                problems.append(f"content types: {name} has no content type")

    # Relationships.
    rel_ids = {}
    for name, data in parts.items():
        if not name.endswith(".rels") or _well_formed(data):
            continue
        source = _source_of_rels(name)
        ids = set()
        for rel in ElementTree.fromstring(data).iter(REL_NS + "Relationship"):
            rid = rel.get("Id")
            if rid in ids:
                problems.append(f"{name}: id {rid} used twice")
            ids.add(rid)
            if rel.get("TargetMode") == "External" or rel.get("Target", "").startswith("#"):
                continue
            target = _resolve(source, rel.get("Target", ""))
            if _part_key(target) not in keys:
                problems.append(f"{name}: {rid} targets missing part {target}")
        rel_ids[source] = ids

    # References from the workbook and worksheet parts into their relationships.
    for name, data in parts.items():
        if not (name == "xl/workbook.xml" or re.fullmatch(r"xl/worksheets/[^/]+\.xml", name)):
            continue
        if _well_formed(data):
            continue
        known = rel_ids.get(name, set())
        for el in ElementTree.fromstring(data).iter():
            rid = el.get(R_ID)
            if rid is not None and rid not in known:
                problems.append(f"{name}: r:id {rid} has no relationship")
    return problems


def unreached_parts(path):
    """Parts (relationships parts and the content types aside) that no chain of relationships from
    the package root reaches."""
    with zipfile.ZipFile(path) as z:
        parts = {_part_key(n): n for n in z.namelist() if not n.endswith("/")}
        rels = {}
        for key, name in parts.items():
            if key.endswith(".rels") and not _well_formed(z.read(name)):
                rels[_part_key(_source_of_rels(key))] = ElementTree.fromstring(z.read(name))
    reached, pending = set(), [""]
    while pending:
        source = pending.pop()
        for rel in rels.get(source, ElementTree.Element("none")).iter(REL_NS + "Relationship"):
            if rel.get("TargetMode") == "External":
                continue
            key = _part_key(_resolve(source, rel.get("Target", "")))
            if key not in reached:
                reached.add(key)
                pending.append(key)
    return {n for k, n in parts.items() if k not in reached and not k.endswith(".rels") and k != "[content_types].xml"}


def check_package(path):
    problems = package_problems(path)
    assert not problems, f"{path}:\n  " + "\n  ".join(problems)


def entry_names(path):
    with zipfile.ZipFile(path) as z:
        return [i.filename for i in z.infolist()]


def rewrite_entries(path, changes):
    """Rewrites the package at path with some entries' bytes replaced: changes maps name -> fn(bytes),
    and an entry whose fn gives None is left out."""
    with zipfile.ZipFile(path) as z:
        entries = [(info, z.read(info.filename)) for info in z.infolist()]
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as out:
        for info, data in entries:
            fn = changes.get(info.filename)
            data = fn(data) if fn else data
            if data is not None:
                out.writestr(info.filename, data)
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def raw_entries(path):
    """name -> (compress_type, CRC, stored bytes), read without decompressing."""
    out = {}
    with open(path, "rb") as f, zipfile.ZipFile(path) as z:
        for info in z.infolist():
            f.seek(info.header_offset)
            header = f.read(30)
            name_len = int.from_bytes(header[26:28], "little")
            extra_len = int.from_bytes(header[28:30], "little")
            f.seek(info.header_offset + 30 + name_len + extra_len)
            out[info.filename] = (info.compress_type, info.CRC, f.read(info.compress_size))
    return out


def _local(tag):
    return tag.rpartition("}")[2]


def _canonical(el):
    """An element as (local name, attributes, children), blind to prefixes and attribute order."""
    if el is None:
        return None
    return (_local(el.tag), tuple(sorted(el.attrib.items())), tuple(_canonical(c) for c in el))


_FONT_FLAGS = ("b", "i", "strike", "outline", "shadow", "condense", "extend")


def _spelled_alike(el):
    """(local name, attributes), sizes and tints spelled as Python floats."""
    name = _local(el.tag)
    return name, {k: repr(float(v)) if k == "tint" or (name == "sz" and k == "val") else v for k, v in el.attrib.items()}


def _font_look(font):
    """A font as it shows, blind to the order of its children and to two spellings of one property
    (a flag with or without val "1", a single underline with or without its name)."""
    if font is None:
        return None
    kids = []
    for child in font:
        name, attrs = _spelled_alike(child)
        if name in _FONT_FLAGS or name == "u":
            val = attrs.pop("val", None)
            if val in ("0", "false", "none"):
                continue
            if name == "u" and val not in (None, "single"):
                attrs["val"] = val
        kids.append((name, tuple(sorted(attrs.items())), tuple(_canonical(c) for c in child)))
    return tuple(sorted(kids))


def _fill_look(fill):
    """A fill as it shows: a pattern without a type is none, tints spelled alike."""
    if fill is None:
        return None
    name, attrs = _spelled_alike(fill)
    if name == "patternFill":
        attrs.setdefault("patternType", "none")
    return name, tuple(sorted(attrs.items())), tuple(_fill_look(c) for c in fill)


def cell_formats(path):
    """(sheet name, cell reference) -> the format of the cell as it shows: `layout` (the border
    element, alignment and protection), `font` and `fill`, for every cell element of every worksheet
    part; and the format of a cell not written."""
    out = {}
    with zipfile.ZipFile(path) as z:
        styles = ElementTree.fromstring(z.read("xl/styles.xml"))
        sections = {_local(el.tag): list(el) for el in styles}
        borders, fonts, fills = (sections.get(s, []) for s in ("borders", "fonts", "fills"))
        at = lambda items, xf, key: items[int(xf.get(key, "0"))] if int(xf.get(key, "0")) < len(items) else None  # noqa: E731
        formats = []
        for xf in sections.get("cellXfs", []):
            kids = {_local(c.tag): c for c in xf}
            layout = (_canonical(at(borders, xf, "borderId")), _canonical(kids.get("alignment")),
                      _canonical(kids.get("protection")))
            formats.append(CellFormat(layout, _font_look(at(fonts, xf, "fontId")), _fill_look(at(fills, xf, "fillId"))))
        for title, name in sheet_parts(z).items():
            if "worksheets/" not in name:
                continue
            at_cell = CellPositions()
            for event, el in ElementTree.iterparse(z.open(name), events=("start", "end")):
                tag = el.tag.rpartition("}")[2]
                if tag == "row":
                    if event == "start":
                        at_cell.row(el)
                    else:
                        el.clear()
                elif tag == "c" and event == "start":
                    s = int(el.get("s", "0"))
                    out[(title, at_cell.cell(el))] = formats[s] if s < len(formats) else None
    return out, formats[0] if formats else None


class CellPositions:
    """The reference of each cell element of a sheet, in document order: its `r` as written, or
    for one without, the column after the previous cell of its row (a row without `r` follows the
    previous row), as a reader places it."""

    def __init__(self):
        self._row, self._col, self._last = 0, 0, None

    def row(self, el):
        r = el.get("r")
        self._row = int(r) if r and r.isdigit() else self._row + 1
        self._col, self._last = 0, None

    def cell(self, el):
        r = el.get("r")
        if r:
            self._last = r  # its column is worked out only when a cell without one follows
            return r
        if self._last is not None:
            letters = self._last.rstrip("0123456789").upper()
            self._col = sum((ord(ch) - 64) * 26 ** i for i, ch in enumerate(reversed(letters)) if "A" <= ch <= "Z")
            self._last = None
        self._col += 1
        letters, n = "", self._col
        while n:
            n, rem = divmod(n - 1, 26)
            letters = chr(65 + rem) + letters
        return f"{letters}{self._row}"


CellFormat = collections.namedtuple("CellFormat", "layout font fill")
