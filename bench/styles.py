"""Load and save a workbook whose styles part holds thousands of fonts and fills, every cell with a
format of its own. Three kinds of styles part:
  full   fonts with underline, superscript or subscript, family, scheme and character set; every
         fourth fill a gradient, the others solid patterns
  theme  fonts with family and scheme only (what a spreadsheet application writes), solid patterns
  plain  fonts with name, size, colour, bold and italic only, solid patterns

Usage: python bench/styles.py [--kind full] [--styles 5000] [--repeat 7] [--inner 5] [--against DIR]

Each repetition runs, in a fresh process, `inner` loads and saves and keeps the fastest of each;
the table shows the medians over the repetitions. With --against, every repetition also runs the
build importable from DIR (for example a copy of velmo.abi3.so made before a change), the two
taking turns, and the last line gives the ratio of the two per repetition.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
INPUT_VERSION = 1
FONT_NAMES = ("Calibri", "Arial", "Cambria", "MS Gothic", "Times New Roman")
UNDERLINES = (0, 1, 2, 33, 34)  # none, single, double, single and double accounting
SCRIPTS = (0, 1, 2)  # baseline, superscript, subscript


def gradient(i):
    if i % 8 == 3:
        return ('<gradientFill type="path" left="0.5" right="0.5" top="0.5" bottom="0.5">'
                f'<stop position="0"><color rgb="FF{i * 2654435761 % 0xFFFFFF:06X}"/></stop>'
                '<stop position="1"><color theme="4"/></stop></gradientFill>')
    return (f'<gradientFill degree="{i % 360}"><stop position="0"><color theme="0"/></stop>'
            f'<stop position="1"><color rgb="FF{i * 40503 % 0xFFFFFF:06X}"/></stop></gradientFill>')


def make_input(path, styles, kind):
    """XlsxWriter writes the fonts and pattern fills; the styles part is then cut down to `kind`."""
    import xlsxwriter

    tmp = path + ".part"
    book = xlsxwriter.Workbook(tmp)
    sheet = book.add_worksheet()
    for i in range(styles):
        fmt = book.add_format({
            "font_name": FONT_NAMES[i % len(FONT_NAMES)] if kind == "full" else "Calibri",
            "font_size": 8 + (i % 40) / 2,
            "bold": i % 2,
            "italic": (i // 2) % 2,
            "underline": UNDERLINES[i % len(UNDERLINES)] if kind == "full" else 0,
            "font_script": SCRIPTS[i % len(SCRIPTS)] if kind == "full" else 0,
            "font_charset": 128 if i % 5 == 3 and kind == "full" else 0,
            "font_color": f"#{i * 7919 % 0xFFFFFF:06X}",
            "pattern": 1,
            "bg_color": f"#{i * 104729 % 0xFFFFFF:06X}",
        })
        sheet.write_number(i, 0, i, fmt)
    book.close()

    with zipfile.ZipFile(tmp) as z:
        entries = [(info, z.read(info.filename)) for info in z.infolist()]
    counter = iter(range(10**9))

    def fill(m):
        i = next(counter)
        return f"<fill>{gradient(i)}</fill>" if i >= 2 and i % 4 == 3 else m.group(0)

    with zipfile.ZipFile(path + ".tmp", "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            if info.filename == "xl/styles.xml":
                text = data.decode()
                if kind == "full":
                    text = re.sub(r"<fill>.*?</fill>", fill, text)
                elif kind == "plain":
                    text = re.sub(r'<(family|scheme) val="[^"]*"/>', "", text)
                data = text.encode()
            z.writestr(info.filename, data)
    os.remove(tmp)
    os.replace(path + ".tmp", path)


def child(path, out, inner):
    import velmo

    # Wall time, and processor time, which a busy machine disturbs less (a save waits for the disk).
    times = {"load": [], "save": [], "load_cpu": [], "save_cpu": []}
    for _ in range(inner):
        t, c = time.perf_counter(), time.process_time()
        wb = velmo.load_workbook(path)
        times["load"].append(time.perf_counter() - t)
        times["load_cpu"].append(time.process_time() - c)
        t, c = time.perf_counter(), time.process_time()
        wb.save(out)
        times["save"].append(time.perf_counter() - t)
        times["save_cpu"].append(time.process_time() - c)
    print(json.dumps({k: min(v) for k, v in times.items()} | {"module": velmo.__file__}))


def run(path, out, inner, pythonpath):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    proc = subprocess.run([sys.executable, __file__, "--child", path, out, str(inner)], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=("full", "theme", "plain"), default="full", help="what the fonts and fills hold")
    parser.add_argument("--styles", type=int, default=5000, help="fonts and fills in the styles part")
    parser.add_argument("--repeat", type=int, default=7, help="processes per build (median reported)")
    parser.add_argument("--inner", type=int, default=5, help="loads and saves per process (fastest kept)")
    parser.add_argument("--against", help="a directory holding another build of velmo to compare with")
    parser.add_argument("--out", default=os.path.join(HERE, "out"))
    args = parser.parse_args()

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"input-styles-{args.kind}-v{INPUT_VERSION}-{args.styles}.xlsx")
    if not os.path.exists(path):
        make_input(path, args.styles, args.kind)
    builds = {"this build": None} | ({f"against {args.against}": args.against} if args.against else {})
    runs = {name: [] for name in builds}
    for rep in range(args.repeat):
        for name in builds if rep % 2 == 0 else reversed(builds):
            runs[name].append(run(path, os.path.join(args.out, "styles-saved.xlsx"), args.inner, builds[name]))

    print(f"{args.kind}: {args.styles} fonts and fills, {os.path.getsize(path) / 1e3:.0f} kB; medians of {args.repeat} processes, "
          f"each the fastest of {args.inner}")
    keys = ("load", "save", "load_cpu", "save_cpu")
    print("| build | load ms | save ms | load CPU ms | save CPU ms |")
    print("|---|---:|---:|---:|---:|")
    for name, rs in runs.items():
        print(f"| {name} | " + " | ".join(f"{statistics.median(r[k] for r in rs) * 1e3:.2f}" for k in keys) + " |")
    if args.against:
        this, other = runs.values()
        ratio = lambda f: statistics.median(f(a) / f(b) for a, b in zip(this, other))  # noqa: E731
        print("this build over the other, median per repetition: " + ", ".join(
            [f"{k} {ratio(lambda r, k=k: r[k]):.3f}" for k in keys]
            + [f"load + save {ratio(lambda r: r['load'] + r['save']):.3f}",
               f"load + save CPU {ratio(lambda r: r['load_cpu'] + r['save_cpu']):.3f}"]))


if __name__ == "__main__":
    main()
