"""What every benchmark script shares: the data set, the input files and the measurement record.

Each workload script runs one tool once in its own process and prints one JSON line:
{"seconds": ..., "baseline_kib": ..., "peak_kib": ..., "after_kib": ..., "cells": ..., ...}.
"""

import ctypes
import ctypes.util
import datetime as dt
import json
import os
import sys
import time
import zipfile

COLUMNS = 10
TEXT_COLUMNS = (4, 9)  # every fifth column (0-based)
DATE_COLUMN = 2
BASE_DATE = dt.date(2020, 1, 1)
BASE_TIME = dt.datetime(2020, 1, 1, 8, 0)
# Bump when the generated data changes, so cached inputs are made anew.
INPUT_VERSION = 1

# The data sets, each rows x COLUMNS:
#   mixed: numbers (integers and quarters), every fifth column a short text (1000 distinct, so shared
#          strings), one date column (one value per day);
#   numbers: the integers and quarters alone, in every column;
#   timestamps: every cell a date-time with a time of day to the millisecond, all distinct.
DATASETS = ("mixed", "numbers", "timestamps")
# The number format the input files give to dates and date-times.
DATE_FORMATS = {"mixed": "yyyy-mm-dd", "numbers": "yyyy-mm-dd", "timestamps": "yyyy-mm-dd hh:mm:ss"}


def row_values(r, dataset="mixed"):
    """The values of data row r (0-based) of the data set."""
    if dataset == "timestamps":
        return [
            BASE_TIME + dt.timedelta(seconds=(r * COLUMNS + c) * 37, milliseconds=(r * 7 + c * 131) % 1000)
            for c in range(COLUMNS)
        ]
    row = []
    for c in range(COLUMNS):
        if dataset == "mixed" and c in TEXT_COLUMNS:
            row.append(f"t{(r * 7 + c) % 1000}")
        elif dataset == "mixed" and c == DATE_COLUMN:
            row.append(BASE_DATE + dt.timedelta(days=r % 3650))
        elif c % 2:
            row.append(r * 0.25 + c)
        else:
            row.append(r * COLUMNS + c)
    return row


def rows_for(cells):
    return max(1, cells // COLUMNS)


def input_path(out_dir, dataset, cells):
    return os.path.join(out_dir, f"input-{dataset}-v{INPUT_VERSION}-{cells}.xlsx")


def make_input(path, dataset, cells):
    """Writes the input workbook with XlsxWriter (shared strings, the data set's format on temporal cells)."""
    import xlsxwriter

    tmp = path + ".part"
    book = xlsxwriter.Workbook(tmp, {"default_date_format": DATE_FORMATS[dataset]})
    sheet = book.add_worksheet()
    for r in range(rows_for(cells)):
        sheet.write_row(r, 0, row_values(r, dataset))
    book.close()
    os.replace(tmp, path)


# The part whose compression bounds a save from below: the first worksheet.
SHEET_PART = "xl/worksheets/sheet1.xml"
DEFLATE_LEVEL = 6


def deflate_floor_seconds(path, part=SHEET_PART):
    """The time libdeflate takes to compress, at the level the save uses, the bytes of `part` as the
    save at `path` wrote them: the least a save of that part can cost, measured in this process.

    Calls the system libdeflate (the library velmo links) through ctypes, so velmo needs no entry
    point for it. The compressor and the output buffer are made before the clock starts; only the
    compression is timed."""
    with zipfile.ZipFile(path) as z:
        data = z.read(part)
    lib = ctypes.CDLL(ctypes.util.find_library("deflate") or "libdeflate.so.0")
    lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
    lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
    lib.libdeflate_deflate_compress_bound.restype = ctypes.c_size_t
    lib.libdeflate_deflate_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
    lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                                ctypes.c_size_t]
    lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
    compressor = lib.libdeflate_alloc_compressor(DEFLATE_LEVEL)
    if not compressor:
        raise MemoryError("libdeflate_alloc_compressor failed")
    try:
        bound = lib.libdeflate_deflate_compress_bound(compressor, len(data))
        out = ctypes.create_string_buffer(bound)
        start = time.perf_counter()
        size = lib.libdeflate_deflate_compress(compressor, data, len(data), out, bound)
        seconds = time.perf_counter() - start
    finally:
        lib.libdeflate_free_compressor(compressor)
    if size == 0:
        raise RuntimeError("libdeflate_deflate_compress failed")
    return seconds


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def current_kib():
    return _status_kib("VmRSS")


def peak_kib():
    return _status_kib("VmHWM")


class Measure:
    """Times the block; the baseline is the resident size on entry (after the imports)."""

    def __init__(self):
        self.extra = {}

    def __enter__(self):
        self.baseline_kib = current_kib()
        self.cpu_start = time.process_time()
        self.start = time.perf_counter()
        return self

    def mark(self, name):
        """Records the time since the start and the resident size now, under `name`."""
        self.extra[name + "_seconds"] = time.perf_counter() - self.start
        self.extra[name + "_kib"] = current_kib()

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        self.cpu_seconds = time.process_time() - self.cpu_start
        return False

    def report(self, cells, **more):
        record = {
            "seconds": self.seconds,
            "cpu_seconds": self.cpu_seconds,
            "baseline_kib": self.baseline_kib,
            "peak_kib": peak_kib(),
            "after_kib": current_kib(),
            "cells": cells,
        }
        record.update(self.extra)
        record.update(more)
        json.dump(record, sys.stdout)
        sys.stdout.write("\n")


def run_build(script, module_dir, *args):
    """Runs `script --child ARGS...` in a fresh process that imports the velmo build in `module_dir`
    (None: the installed one) and gives back the JSON it printed."""
    import subprocess

    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = module_dir + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    proc = subprocess.run([sys.executable, script, "--child", *map(str, args)], env=env, capture_output=True,
                          text=True, check=True)
    return json.loads(proc.stdout)
