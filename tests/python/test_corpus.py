"""Every workbook of the corpus loads, saves and reloads with the same values; what the save does
not regenerate comes across byte for byte; an independent reader sees the same values before and
after. The workbooks of other producers, some hostile on purpose, do the same or are refused with
the error listed for them, each in time proportional to its size. The corpus lives outside the
repository (../shared/corpus/excel and ../shared/corpus/other, or $VELMO_CORPUS and
$VELMO_CORPUS_OTHER); without it the tests are skipped."""

import concurrent.futures
import faulthandler
import os
import pathlib
import re
import time
import zipfile
from xml.etree import ElementTree

import pytest
from python_calamine import CalamineWorkbook

import velmo
from package_check import CellPositions, cell_formats, package_problems, raw_entries

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("VELMO_CORPUS", REPO.parent / "shared" / "corpus" / "excel"))
OTHER = pathlib.Path(os.environ.get("VELMO_CORPUS_OTHER", CORPUS.parent / "other"))

# Names a save may write itself (or drop: the calculation chain); a source entry of such a name
# is not compared.
REGENERATED = re.compile(
    r"\[Content_Types\]\.xml|xl/workbook\.xml|xl/_rels/workbook\.xml\.rels|xl/styles\.xml|xl/sharedStrings\.xml"
    r"|xl/worksheets/.*|xl/tables/table\d+\.xml|xl/tables/_rels/table\d+\.xml\.rels|xl/comments\d+\.xml"
    r"|xl/drawings/vmlDrawing\d+\.vml|xl/drawings/_rels/vmlDrawing\d+\.vml\.rels|xl/calcChain\.xml"
)

# The files of other/ that a load refuses: name -> (exception, what its message says, why).
CHART_SHEET = (ValueError, r"^workbook relationship rId\d+$", "a chart sheet")
DAMAGED = (ValueError, r"^invalid Zip archive: ", "a damaged archive")
ENCRYPTED = (ValueError, r"^invalid Zip archive: a compound file, not a Zip archive \(an encrypted workbook",
             "an encrypted package (a compound file, no ZIP archive)")
ENTITY_BOMB = (OSError, r"^xml: xl/sharedStrings\.xml: unknown entity reference ", "an entity bomb")
REFUSED = {
    **dict.fromkeys(["47813.xlsx", "56557.xlsx", "57181.xlsm", "chart_sheet.xlsx", "stress024.xlsx",
                     "clusterfuzz-testcase-minimized-POIXSSFFuzzer-5265527465181184.xlsx"], CHART_SHEET),
    **dict.fromkeys([f"clusterfuzz-testcase-minimized-{n}.xlsx" for n in (
        "POIFuzzer-5040805309710336", "POIXSSFFuzzer-5089447305609216", "POIXSSFFuzzer-6123461607817216",
        "POIXSSFFuzzer-6448258963341312", "XLSX2CSVFuzzer-5542865479270400", "XLSX2CSVFuzzer-6504225896792064")]
                    + ["crash-274d6342e4842d61be0fb48eaadad6208ae767ae.xlsx"], DAMAGED),
    **dict.fromkeys(["extenxls_pwd123.xlsx", "protected_passtika.xlsx", "protected_sha512.xlsx"], ENCRYPTED),
    **dict.fromkeys(["54764.xlsx", "poc-xmlbomb-empty.xlsx"], ENTITY_BOMB),
    "xlmmacro.xlsm": (ValueError, r"^workbook relationship rId1$", "an Excel 4.0 macro sheet"),
    "49609.xlsx": (ValueError, r"^xl/styles\.xml$", "entry names written with backslashes: no part is found"),
    "duplicate-filename.xlsx": (ValueError, r"^invalid Zip archive: duplicate entry name ", "two entries of one name"),
}
# A load and save of any file of the corpus takes well under a second; this bound only catches
# work out of proportion (or a hang, which the watchdog ends).
SECONDS_PER_FILE = 10
# Workbook relationships of the types a save writes itself, or drops.
REGENERATED_RELS = re.compile(r".*/(worksheet|styles|sharedStrings|calcChain)")


def sheet_grids(wb):
    """Per sheet, the values from A1 to the end of the used range."""
    return {ws.title: [list(row) for row in ws.iter_rows(min_row=1, min_col=1, values_only=True)] for ws in wb.worksheets}


def sheet_values(wb):
    """Per sheet, the cells that hold a value. A cell without one (an error value is read as none)
    is not written, so it may widen the used range before a save but not after."""
    return {title: {(r, c): v for r, row in enumerate(rows) for c, v in enumerate(row) if v is not None}
            for title, rows in sheet_grids(wb).items()}


def is_formula(value):
    return isinstance(value, str) and value.startswith("=")


def calamine_grid(path, title):
    return CalamineWorkbook.from_path(path).get_sheet_by_name(title).to_python(skip_empty_area=False)


# U+FFFE and U+FFFF can only stand in a package escaped, and the other reader decodes the escapes
# of characters below U+0100 alone.
ESCAPED_BEYOND_THE_OTHER_READER = re.compile("[\ufffe\uffff]")


def calamine_differences(src, out, values):
    """Cells whose value the other reader sees differently in the saved package, and texts it reads
    otherwise than velmo in the source. Formulas are left out: a save writes no cached results. A
    source the other reader cannot read is not compared."""
    diffs = []
    for title, rows in values.items():
        try:
            before = calamine_grid(src, title)
        except Exception:  # noqa: BLE001 - the other reader refuses what velmo reads leniently
            return []
        after = calamine_grid(out, title)
        for r in range(max(len(before), len(after))):
            b = before[r] if r < len(before) else []
            a = after[r] if r < len(after) else []
            for c in range(max(len(b), len(a))):
                vb = b[c] if c < len(b) else ""
                va = a[c] if c < len(a) else ""
                ours = rows[r][c] if r < len(rows) and c < len(rows[r]) else None
                if vb != va and not is_formula(ours):
                    diffs.append(f"{title}!R{r + 1}C{c + 1}: {vb!r} -> {va!r}")
                if (isinstance(ours, str) and ours != vb and not is_formula(ours)
                        and not ESCAPED_BEYOND_THE_OTHER_READER.search(ours)):
                    diffs.append(f"{title}!R{r + 1}C{c + 1}: velmo reads {ours!r}, the other reader {vb!r}")
    return diffs


def kept_workbook_relationships(path):
    """The workbook relationships other than those a save writes itself: (id, type, target)."""
    with zipfile.ZipFile(path) as z:
        rels = ElementTree.fromstring(z.read("xl/_rels/workbook.xml.rels"))
    return {(r.get("Id"), r.get("Type"), r.get("Target")) for r in rels
            if not REGENERATED_RELS.fullmatch(r.get("Type", ""))}


def has_chartsheet(src):
    with zipfile.ZipFile(src) as z:
        return b"/chartsheet" in z.read("xl/_rels/workbook.xml.rels")


FORMULA = re.compile(rb"<(?:\w+:)?f\b([^>]*)>")


def formulas_in(path):
    """How many formula elements the worksheet parts hold, and the sorted ranges of array formulas."""
    with zipfile.ZipFile(path) as z:
        tags = [a for n in z.namelist() if re.fullmatch(r"xl/worksheets/[^/]+\.xml", n) for a in FORMULA.findall(z.read(n))]
    return len(tags), sorted(re.search(rb'ref="([^"]*)"', a)[1] for a in tags if b't="array"' in a)


MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
R_NS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
ROW_ATTRS = ("hidden", "outlineLevel", "collapsed")
COL_ATTRS = ("style", "hidden", "bestFit", "phonetic", "outlineLevel", "collapsed")


def worksheet_roots(path):
    """The worksheet elements in workbook order."""
    with zipfile.ZipFile(path) as z:
        rels = {r.get("Id"): r.get("Target") for r in ElementTree.fromstring(z.read("xl/_rels/workbook.xml.rels"))}
        sheets = ElementTree.fromstring(z.read("xl/workbook.xml")).iter(MAIN + "sheet")
        targets = [rels[s.get(R_NS + "id")] for s in sheets]
        return [ElementTree.fromstring(z.read(t.lstrip("/") if t.startswith("/") else "xl/" + t)) for t in targets]


def sheet_settings(root):
    """What a save carries of a worksheet: its children but the dimension (a save works that out
    anew), and the attributes its rows and columns hold besides sizes."""
    children = sorted(el.tag for el in root if el.tag != MAIN + "dimension")
    rows = {}
    for row in root.iter(MAIN + "row"):
        attrs = {a: row.get(a) in ("1", "true") if a != "outlineLevel" else int(row.get(a) or 0) for a in ROW_ATTRS}
        if row.get("customFormat") in ("1", "true"):
            attrs["s"] = row.get("s")
        rows[row.get("r")] = attrs
    cols = {}
    for col in root.iter(MAIN + "col"):
        if not (col.get("min") or "").isdigit() or not (col.get("max") or "").isdigit():
            continue
        for c in range(int(col.get("min")), int(col.get("max")) + 1):
            cols[c] = {a: col.get(a) not in (None, "0", "false") for a in COL_ATTRS if a not in ("style", "outlineLevel")}
            cols[c].update(style=col.get("style", "0"), outlineLevel=int(col.get("outlineLevel") or 0))
    default = {a: False for a in COL_ATTRS} | {"style": "0", "outlineLevel": 0}
    # Where rows are hidden unless listed, the listing itself counts.
    listed = any(f.get("zeroHeight") in ("1", "true") for f in root.iter(MAIN + "sheetFormatPr"))
    rows = {r: a for r, a in rows.items() if listed or any(a.values())}
    return children, rows, {c: a for c, a in cols.items() if a != default}


def tree_of(element):
    return (element.tag, sorted(element.attrib.items()), element.text, [tree_of(k) for k in element])


def kept_content(path, roots):
    """The sheet states, and per sheet (`roots`, its worksheet elements) what its cells hold beyond
    their values: text runs (of a shared or inline string with more than plain text), literal error
    values, metadata indexes."""
    with zipfile.ZipFile(path) as z:
        names = {n.lower(): n for n in z.namelist()}
        sst = names.get("xl/sharedstrings.xml")
        items = list(ElementTree.fromstring(z.read(sst))) if sst else []
        states = [s.get("state", "visible") for s in ElementTree.fromstring(z.read("xl/workbook.xml")).iter()
                  if s.tag.rpartition("}")[2] == "sheet"]
    sheets = []
    for root in roots:
        cells = {}
        at_cell = CellPositions()
        for c in root.iter():
            if c.tag == MAIN + "row":
                at_cell.row(c)
            if c.tag != MAIN + "c":
                continue
            ref = at_cell.cell(c)
            t, v, f = c.get("t"), c.find(MAIN + "v"), c.find(MAIN + "f")
            index = int(v.text) if t == "s" and v is not None and (v.text or "").isdigit() else len(items)
            item = items[index] if index < len(items) else c.find(MAIN + "is") if t == "inlineStr" else None
            runs = [tree_of(k) for k in item] if item is not None and any(k.tag != MAIN + "t" for k in item) else None
            error = v.text if t == "e" and f is None and v is not None else None
            kept = (runs, error, c.get("vm"), c.get("cm"))
            if any(kept):
                cells[ref.upper()] = kept
        sheets.append(cells)
    return states, sheets


def round_trip_problems(src, out):
    """The problems of one workbook, or None when it is not meant to load."""
    started = time.perf_counter()
    try:
        wb = velmo.load_workbook(str(src))
    except ValueError as e:
        # A workbook with a chart sheet is refused on purpose.
        if str(e).startswith("workbook relationship ") and has_chartsheet(src):
            return None
        return [f"load: ValueError: {e}"]
    except Exception as e:  # noqa: BLE001 - every failure is reported by file
        return [f"load: {type(e).__name__}: {e}"]
    try:
        wb.save(str(out))
    except Exception as e:  # noqa: BLE001
        return [f"save: {type(e).__name__}: {e}"]
    seconds = time.perf_counter() - started
    try:
        problems = compared(src, out, wb)
    except Exception as e:  # noqa: BLE001 - a copy the checks cannot read is a problem of its own
        problems = [f"check: {type(e).__name__}: {e}"]
    if seconds > SECONDS_PER_FILE:
        problems.append(f"load and save took {seconds:.1f} s")
    return problems


def compared(src, out, wb):
    """What the saved copy `out` of `src` (loaded as `wb`) lost or changed; problems the source
    itself has (a dangling relationship, a part that is not well-formed) are not the save's."""
    known = set(package_problems(src))
    problems = [p for p in package_problems(out) if p not in known]
    values = sheet_values(wb)
    if sheet_values(velmo.load_workbook(str(out))) != values:
        problems.append("values differ after reload")

    source, saved = raw_entries(src), raw_entries(out)
    for name, raw in source.items():
        if REGENERATED.fullmatch(name):
            continue
        if name not in saved:
            problems.append(f"{name}: not copied")
        elif saved[name] != raw:
            problems.append(f"{name}: not copied byte for byte")

    # Every formula is written in full, a shared formula's dependents included; array formulas keep their range.
    if formulas_in(out) != formulas_in(src):
        problems.append(f"formulas {formulas_in(src)} -> {formulas_in(out)}")

    (before, _), (after, unwritten) = cell_formats(src), cell_formats(out)
    for part, what in (("layout", "border, alignment or protection"), ("font", "font"), ("fill", "fill")):
        look = lambda f: getattr(f, part) if f else None  # noqa: E731
        # A cell whose format the source lacks shows the default, which a save writes out.
        changed = [cell for cell, f in before.items() if f and look(after.get(cell, unwritten)) != look(f)]
        if changed:
            problems.append(f"{len(changed)} cells change {what}, first {changed[0]}")

    lost = kept_workbook_relationships(src) - kept_workbook_relationships(out)
    problems += [f"workbook relationship {rid} to {target} lost" for rid, _, target in sorted(lost)]

    roots, saved_roots = worksheet_roots(src), worksheet_roots(out)
    for n, (before, after) in enumerate(zip(roots, saved_roots), 1):
        for what, a, b in zip(("children", "rows", "columns"), sheet_settings(before), sheet_settings(after)):
            # The outline levels of rows and columns are summed up in a sheetFormatPr of its own.
            if what == "children" and MAIN + "sheetFormatPr" not in a:
                b = [tag for tag in b if tag != MAIN + "sheetFormatPr"]
            if a != b:
                problems.append(f"sheet {n}: {what} differ")

    (states, before), (saved_states, after) = kept_content(src, roots), kept_content(out, saved_roots)
    if saved_states != states:
        problems.append(f"sheet states {states} -> {saved_states}")
    for n, (a, b) in enumerate(zip(before, after), 1):
        changed = sorted(ref for ref in a.keys() | b.keys() if a.get(ref) != b.get(ref))
        if changed:
            problems.append(f"sheet {n}: {len(changed)} cells change text runs, error or metadata, first {changed[0]}")

    problems += calamine_differences(str(src), str(out), sheet_grids(wb))[:5]
    return problems


def checked(task):
    """(name, problems) of one file, checked under a watchdog: a load or save that hangs holds the
    interpreter, so only faulthandler's own thread can end it (with every stack, failing the run).
    Problems are None for a file refused as holding a chart sheet."""
    src, out, refusal = task
    faulthandler.dump_traceback_later(SECONDS_PER_FILE * 6, exit=True)
    try:
        if refusal:
            problem = refusal_problem(src, refusal)
            return src.name, [problem] if problem else []
        return src.name, round_trip_problems(src, out)
    finally:
        faulthandler.cancel_dump_traceback_later()
        out.unlink(missing_ok=True)


def check_all(files, out_dir, refusals=None):
    """name -> problems of each file (None: refused as holding a chart sheet), a few at a time."""
    tasks = [(src, out_dir / f"{n}.xlsx", (refusals or {}).get(src.name)) for n, src in enumerate(files)]
    tasks.sort(key=lambda t: -t[0].stat().st_size)  # the longest first, so that none is left alone at the end
    with concurrent.futures.ProcessPoolExecutor(min(4, os.cpu_count() or 1)) as pool:
        return dict(pool.map(checked, tasks))


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus not available")
def test_corpus_round_trips(tmp_path):
    files = sorted(CORPUS.glob("*.xls[xm]"))
    assert files
    results = check_all(files, tmp_path)
    refused = [name for name, problems in results.items() if problems is None]
    failures = {name: problems for name, problems in results.items() if problems}
    assert len(refused) < len(files) // 10, refused
    report = "\n".join(f"{name}: {'; '.join(p)}" for name, p in sorted(failures.items()))
    assert not failures, f"{len(failures)} of {len(files)} workbooks:\n{report}"


def refusal_problem(src, expected):
    """What is wrong with the way a file of the refusal table is refused, or None."""
    kind, message, why = expected
    try:
        velmo.load_workbook(str(src))
    except kind as e:
        return None if re.search(message, str(e)) else f"refused ({why}) as {type(e).__name__}: {e}"
    except BaseException as e:  # noqa: BLE001 - anything else, internal failures included, is wrong
        return f"refused ({why}) as {type(e).__name__}: {e}"
    return f"loads, though listed as refused ({why})"


@pytest.mark.skipif(not OTHER.is_dir(), reason="corpus of other producers not available")
def test_other_producers_round_trip_or_are_refused_clearly(tmp_path):
    files = sorted(OTHER.glob("*.xls[xm]"))
    assert files
    assert not set(REFUSED) - {f.name for f in files}, "listed as refused but not in the corpus"
    results = check_all(files, tmp_path, REFUSED)
    failures = {name: problems if problems is not None else ["refused as holding a chart sheet, but not listed"]
                for name, problems in results.items() if problems != []}
    report = "\n".join(f"{name}: {'; '.join(p)}" for name, p in sorted(failures.items()))
    assert not failures, f"{len(failures)} of {len(files)} workbooks:\n{report}"
