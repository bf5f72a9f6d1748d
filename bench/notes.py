"""Load and save a sheet full of notes (cell comments), timing the load, an unchanged save, and a
row inserted at the top with a second save, apart.

The input, written once with XlsxWriter into bench/out/: one sheet of ROWS rows x 4 columns of
values with a note on every row (every tenth shown, every seventh resized and recoloured), as a
desktop application lays them out in the sheet's legacy drawing.

Usage:
  python bench/notes.py [--notes 8000] [--repeat 7]            # the installed module
  python bench/notes.py --compare DIR [--compare DIR2 ...]      # the installed module against the
                                                                #   velmo builds in DIR, interleaved
  python bench/notes.py --child INPUT OUTPUT                    # one measurement (used by the above)
"""

import argparse
import json
import os
import statistics
import sys
import time

from common import run_build

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = os.path.join(HERE, "out")
INPUT_VERSION = 1


def input_path(notes):
    return os.path.join(OUT_DIR, f"input-notes-v{INPUT_VERSION}-{notes}.xlsx")


def make_input(path, notes):
    import xlsxwriter

    tmp = path + ".part"
    book = xlsxwriter.Workbook(tmp)
    sheet = book.add_worksheet()
    for r in range(notes):
        sheet.write_row(r, 0, [r, r * 0.5, f"name {r % 500}", r * 3])
        options = {"author": f"author {r % 7}"}
        if r % 10 == 0:
            options["visible"] = True
        if r % 7 == 0:
            options.update(x_scale=1.5, y_scale=2, color="#CCFFCC")
        sheet.write_comment(r, 1, f"note {r}: checked against the ledger", options)
    book.close()
    os.replace(tmp, path)


def child(path, out):
    import velmo

    start = time.perf_counter()
    wb = velmo.load_workbook(path)
    loaded = time.perf_counter()
    wb.save(out)
    saved = time.perf_counter()
    wb.active.insert_rows(1)
    wb.save(out)
    edited = time.perf_counter()
    json.dump({"load": loaded - start, "save": saved - loaded, "edit": edited - saved, "module": velmo.__file__},
              sys.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--notes", type=int, default=8000)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--compare", action="append", default=[], metavar="DIR")
    ap.add_argument("--child", nargs=2, metavar=("INPUT", "OUTPUT"))
    args = ap.parse_args()
    if args.child:
        return child(*args.child)

    os.makedirs(OUT_DIR, exist_ok=True)
    path = input_path(args.notes)
    if not os.path.exists(path):
        make_input(path, args.notes)
    out = os.path.join(OUT_DIR, "notes-saved.xlsx")
    builds = [None] + args.compare
    kinds = ("load", "save", "edit")
    times = {b: {k: [] for k in kinds} for b in builds}
    modules = {}
    for rep in range(args.repeat):
        # Alternate the order, so a change in machine load hits every build alike.
        for b in builds if rep % 2 == 0 else reversed(builds):
            r = run_build(__file__, b, path, out)
            modules[b] = r["module"]
            for k in kinds:
                times[b][k].append(r[k])
    print(f"{args.notes} notes, {args.repeat} runs each, medians in ms; load average {os.getloadavg()[0]:.1f}")
    base = times[None]
    for b in builds:
        med = {k: statistics.median(v) * 1000 for k, v in times[b].items()}
        line = f"  load {med['load']:7.1f}  save {med['save']:7.1f}  insert row + save {med['edit']:7.1f}   {modules[b]}"
        if b is not None:
            ratio = {k: statistics.median(base[k]) * 1000 / med[k] for k in med}
            line += "\n    installed / this: " + ", ".join(f"{k} {ratio[k]:.3f}" for k in kinds)
        print(line)


if __name__ == "__main__":
    main()
