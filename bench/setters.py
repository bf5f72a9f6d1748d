"""The cell setters on a sheet whose file wrote lower-case cell references, against the same sheet
written in canonical form.

The inputs, written once into bench/out/: one sheet of CELLS numbers (CELLS / 4 rows of 4 columns),
made with XlsxWriter; the lower-case copy is the same package with every `<c r="B7">` rewritten as
`<c r="b7">`, so velmo keeps those keys as written. Each measurement loads one of them and times
`set_cell_fill`, `set_cell_comment` and `set_cell_hyperlink` on every cell, the keys given in
canonical form ("B7"), each setter as one pass over the cells.

Usage:
  python bench/setters.py [--cells 20000] [--repeat 5]          # the installed module
  python bench/setters.py --compare DIR [--compare DIR2 ...]     # and the velmo builds in DIR, interleaved
  python bench/setters.py --child INPUT CELLS                    # one measurement (used by the above)
"""

import argparse
import json
import os
import re
import statistics
import sys
import time
import zipfile

from common import run_build

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = os.path.join(HERE, "out")
INPUT_VERSION = 1
COLUMNS = 4
SETTERS = ("fill", "comment", "hyperlink")


def input_path(cells, lower):
    return os.path.join(OUT_DIR, f"input-setters-v{INPUT_VERSION}-{cells}{'-lower' if lower else ''}.xlsx")


def make_inputs(cells):
    import xlsxwriter

    canonical, lower = input_path(cells, False), input_path(cells, True)
    book = xlsxwriter.Workbook(canonical + ".part")
    sheet = book.add_worksheet()
    for r in range(cells // COLUMNS):
        sheet.write_row(r, 0, [r * COLUMNS + c for c in range(COLUMNS)])
    book.close()
    os.replace(canonical + ".part", canonical)
    with zipfile.ZipFile(canonical) as src, zipfile.ZipFile(lower + ".part", "w", zipfile.ZIP_DEFLATED) as dst:
        for info in src.infolist():
            data = src.read(info)
            if info.filename == "xl/worksheets/sheet1.xml":
                data = re.sub(rb'(<c r=")([A-Z]+)', lambda m: m.group(1) + m.group(2).lower(), data)
            dst.writestr(info, data)
    os.replace(lower + ".part", lower)


def child(path, cells):
    import velmo

    ws = velmo.load_workbook(path).active
    keys = [velmo.get_column_letter(c + 1) + str(r + 1) for r in range(cells // COLUMNS) for c in range(COLUMNS)]
    fill = velmo.PatternFill("solid", start_color="FFFFFF00")
    out = {"module": velmo.__file__}
    start = time.perf_counter()
    for key in keys:
        ws.set_cell_fill(key, fill)
    out["fill"] = time.perf_counter() - start
    start = time.perf_counter()
    for key in keys:
        ws.set_cell_comment(key, "checked", "bench")
    out["comment"] = time.perf_counter() - start
    start = time.perf_counter()
    for key in keys:
        ws.set_cell_hyperlink(key, "https://example.org/")
    out["hyperlink"] = time.perf_counter() - start
    json.dump(out, sys.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cells", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--compare", action="append", default=[], metavar="DIR")
    ap.add_argument("--child", nargs=2, metavar=("INPUT", "CELLS"))
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], int(args.child[1]))

    cells = args.cells // COLUMNS * COLUMNS
    os.makedirs(OUT_DIR, exist_ok=True)
    if not all(os.path.exists(input_path(cells, lower)) for lower in (False, True)):
        make_inputs(cells)
    builds = [None] + args.compare
    sheets = ("canonical", "lower-case")
    times = {(b, s): {k: [] for k in SETTERS} for b in builds for s in sheets}
    modules = {}
    for rep in range(args.repeat):
        # Alternate the order, so a change in machine load hits every build and sheet alike.
        runs = [(b, s) for b in builds for s in sheets]
        for b, s in runs if rep % 2 == 0 else reversed(runs):
            r = run_build(__file__, b, input_path(cells, s == "lower-case"), cells)
            modules[b] = r["module"]
            for k in SETTERS:
                times[b, s][k].append(r[k])
    print(f"{cells} cells, each setter once on every cell; {args.repeat} runs each, medians in ms; "
          f"load average {os.getloadavg()[0]:.1f}")
    for b in builds:
        print(f"  {modules[b]}")
        med = {s: {k: statistics.median(times[b, s][k]) * 1000 for k in SETTERS} for s in sheets}
        for s in sheets:
            print(f"    {s:10}  " + "  ".join(f"{k} {med[s][k]:9.1f}" for k in SETTERS))
        print("    lower-case / canonical: " +
              ", ".join(f"{k} {med['lower-case'][k] / med['canonical'][k]:.2f}" for k in SETTERS))


if __name__ == "__main__":
    main()
