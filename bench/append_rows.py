"""Times appending rows of ten values and reading every value of a large loaded workbook.

Usage: python bench/append_rows.py [--read-cells N]
"""

import argparse
import datetime as dt
import os
import tempfile
import time

import velmo


def row_values(i):
    return [i, i * 0.5, f"text {i}", i % 2 == 0, None, "=A1+1", dt.date(2024, 1, 1), i * 3, "x", 1.25]


def bench_append(rows):
    wb = velmo.Workbook()
    ws = wb.active
    data = [row_values(i) for i in range(rows)]
    start = time.perf_counter()
    for row in data:
        ws.append(row)
    elapsed = time.perf_counter() - start
    assert ws.max_row == rows
    print(f"append {rows:>7} rows x 10: {elapsed:7.3f} s  ({rows * 10 / elapsed / 1e6:6.2f} M values/s)")


def bench_read(cells):
    import xlsxwriter

    cols = 10
    rows = cells // cols
    path = os.path.join(tempfile.mkdtemp(), "read_bench.xlsx")
    book = xlsxwriter.Workbook(path, {"constant_memory": True})
    sheet = book.add_worksheet()
    for r in range(rows):
        sheet.write_row(r, 0, [r, r * 0.5, f"s{r % 1000}", r % 3 == 0, r + 1, r + 2, "t", 1.5, r, 0])
    book.close()

    start = time.perf_counter()
    wb = velmo.load_workbook(path)
    loaded = time.perf_counter()
    values = wb.active.values
    read = time.perf_counter()
    count = sum(len(row) for row in values)
    assert count == rows * cols
    print(f"load {count} cells: {loaded - start:7.3f} s; values of every cell: {read - loaded:7.3f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--read-cells", type=int, default=1_000_000)
    args = parser.parse_args()
    for rows in (10_000, 100_000):
        bench_append(rows)
    bench_read(args.read_cells)


if __name__ == "__main__":
    main()
